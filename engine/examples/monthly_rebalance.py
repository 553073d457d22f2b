# Monthly equal-weight rebalance.
#
# On the first trading day of each month, give every stock of the basket the
# same share of the portfolio.  Between rebalances the weights drift with the
# prices; the rebalance sells the winners a little and buys the losers.

BASKET = ["000001.XSHE", "600519.XSHG", "000002.XSHE", "002415.XSHE", "600570.XSHG"]

# Keep some cash aside: orders are sized at the last close, and with the
# next_bar matching they fill at the next open, which may be higher.
CASH_BUFFER = parameter("cash_buffer", 0.05, minimum=0.0, maximum=0.5,
                        description="share of the portfolio kept in cash")


def init(context):
    context.last_month = None


def handle_bar(context, bar_dict):
    month = context.now.month
    if month == context.last_month:
        return
    context.last_month = month

    # Only stocks that trade today can be bought or sold today.
    tradable = [s for s in BASKET if s in bar_dict]
    weight = (1.0 - CASH_BUFFER) / len(tradable)

    # Sell first, so the cash is there for the buys.
    over = [s for s in tradable if context.portfolio.positions[s].market_value > weight * context.portfolio.total_value]
    under = [s for s in tradable if s not in over]
    for stock in over + under:
        order_target_percent(stock, weight)

    logger.info("rebalanced %d stocks to %.1f%% each; portfolio value %.2f",
                len(tradable), weight * 100, context.portfolio.total_value)
