# Momentum rotation.
#
# Every few weeks, rank the stocks of the universe by their return over the
# last LOOKBACK days and hold the TOP_N best, in equal parts.  Stocks under
# special treatment (is_st) are left out, and so are those with too little
# history (for instance a newly listed stock).

LOOKBACK = parameter("lookback", 60, minimum=5, maximum=250, description="momentum window (days)")
TOP_N = parameter("top_n", 2, minimum=1, maximum=5, description="number of stocks held")
HOLD_DAYS = parameter("hold_days", 20, minimum=1, maximum=120, description="trading days between rotations")


def init(context):
    # all_instruments("CS") lists the stocks of the data bundle.
    context.universe = [i.order_book_id for i in all_instruments("CS") if not i.is_st]
    context.days = 0


def momentum(stock):
    closes = history_bars(stock, LOOKBACK + 1, "close")
    if len(closes) < LOOKBACK + 1:
        return None
    return closes[-1] / closes[0] - 1


def handle_bar(context, bar_dict):
    context.days += 1
    if (context.days - 1) % HOLD_DAYS != 0:
        return

    scores = {}
    for stock in context.universe:
        if stock in bar_dict:
            score = momentum(stock)
            if score is not None:
                scores[stock] = score
    winners = sorted(scores, key=scores.get, reverse=True)[:TOP_N]

    # Leave the losers first, then split the portfolio among the winners.
    # Orders fill one after the other, so sell before buying: the losers,
    # then the winners we hold most of (they may need trimming).
    for stock in list(context.portfolio.positions):
        if stock not in winners:
            order_target_percent(stock, 0.0)
    winners.sort(key=lambda s: context.portfolio.positions[s].market_value, reverse=True)
    for stock in winners:
        order_target_percent(stock, 0.98 / len(winners))

    logger.info("holding %s", ", ".join("%s (%+.1f%%)" % (s, scores[s] * 100) for s in winners))
    plot("best momentum", scores[winners[0]] if winners else 0.0)
