# Dual moving-average crossover on one stock.
#
# Every trading day the engine calls handle_bar() after the close.  We compare
# a short ("fast") and a long ("slow") average of the closing prices:
#   - fast crosses above slow: the trend turns up, buy with all the cash;
#   - fast crosses below slow: the trend turns down, sell everything.
#
# parameter(...) declares a setting the user can change in the backtest form
# without editing the code; it returns the chosen value (or the default).

STOCK = "600519.XSHG"

FAST = parameter("fast", 5, minimum=2, maximum=60, description="fast moving-average window (days)")
SLOW = parameter("slow", 20, minimum=5, maximum=250, description="slow moving-average window (days)")


def init(context):
    # Runs once before the first day.  Keep your own state on context.
    context.stock = STOCK
    if FAST >= SLOW:
        raise ValueError("the fast window must be shorter than the slow one")
    logger.info("dual moving average on %s: fast=%d slow=%d", STOCK, FAST, SLOW)


def average(values):
    return sum(values) / len(values)


def handle_bar(context, bar_dict):
    # The last SLOW+1 closes, today's included (oldest first).
    closes = history_bars(context.stock, SLOW + 1, "close")
    if len(closes) < SLOW + 1:
        return  # not enough history yet

    fast_now, slow_now = average(closes[-FAST:]), average(closes[-SLOW:])
    fast_before, slow_before = average(closes[-FAST - 1:-1]), average(closes[-SLOW - 1:-1])

    # plot() draws a line in the result charts.
    plot("fast", fast_now)
    plot("slow", slow_now)

    held = context.portfolio.positions[context.stock].quantity
    if fast_before <= slow_before and fast_now > slow_now and held == 0:
        logger.info("golden cross at %.2f, buying", bar_dict[context.stock].close)
        # Put 98% of the portfolio in the stock (whole lots of 100 shares); the
        # rest pays the commission.
        order_target_percent(context.stock, 0.98)
    elif fast_before >= slow_before and fast_now < slow_now and held > 0:
        logger.info("death cross at %.2f, selling", bar_dict[context.stock].close)
        order_target_percent(context.stock, 0.0)  # sell the whole position
