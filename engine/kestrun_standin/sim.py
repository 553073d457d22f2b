"""Accounts, positions and order matching of the daily simulation."""

import datetime
import itertools
import math

STOCK_COMMISSION_RATE = 0.0008
STOCK_MIN_COMMISSION = 5.0
STAMP_TAX_RATE = 0.001          # stock sells only
FUTURE_COMMISSION_RATE = 0.000023
VOLUME_LIMIT = 0.25             # share of a bar's volume one order may take (not with --signal)
LOT = 100                       # stock board lot

TIME_FORMAT = "%Y-%m-%d %H:%M:%S"


class Market:
    """Where the simulation stands: the day, the clock and the last known prices."""

    def __init__(self, bundle, start):
        self.bundle = bundle
        self.day = start
        self.now = datetime.datetime.strptime(start, "%Y-%m-%d")
        self.phase = "init"
        # Prices known before the first day, so sizing works in the first before_trading().
        self.last_close = {}
        for oid in bundle.bars:
            price = bundle.close_before(oid, start)
            if price is not None:
                self.last_close[oid] = price

    def set_clock(self, day, hour, minute, phase):
        self.day = day
        self.now = datetime.datetime.strptime(day, "%Y-%m-%d").replace(hour=hour, minute=minute)
        self.phase = phase

    def now_text(self):
        return self.now.strftime(TIME_FORMAT)

    def price(self, oid):
        return self.last_close.get(oid)

    def take_closes(self):
        for oid, bars in self.bundle.bars.items():
            i = bars.index_of(self.day)
            if i is not None:
                self.last_close[oid] = bars.columns["close"][i]

    def bar_value(self, oid, field):
        i = self.bundle.bar_index(oid, self.day)
        return None if i is None else self.bundle.bars[oid].columns[field][i]


class Position:
    """A net position: quantity > 0 long, < 0 short."""

    def __init__(self, instrument, margin_multiplier=1.0):
        self.order_book_id = instrument.order_book_id
        self.type = "FUTURE" if instrument.type == "Future" else "STOCK"
        self.multiplier = instrument.multiplier
        self.margin_rate = instrument.margin_rate * margin_multiplier if self.type == "FUTURE" else 0.0
        self.quantity = 0
        self.avg_price = 0.0
        self.last_price = 0.0
        # Futures: the price up to which profit is already booked in the balance.
        self.settle_price = 0.0
        self.transaction_cost = 0.0
        self.buy_transaction_cost = 0.0
        self.sell_transaction_cost = 0.0

    @property
    def market_value(self):
        return self.quantity * self.last_price * self.multiplier

    @property
    def margin(self):
        return abs(self.quantity) * self.last_price * self.multiplier * self.margin_rate

    @property
    def pnl(self):
        return (self.last_price - self.avg_price) * self.quantity * self.multiplier

    def apply(self, qty, price, cost):
        """Book a fill of qty (signed) that never carries the position across zero.

        Returns the profit realised against settle_price by the closing part.
        """
        self.transaction_cost += cost
        if qty > 0:
            self.buy_transaction_cost += cost
        else:
            self.sell_transaction_cost += cost
        if self.quantity == 0 or (self.quantity > 0) == (qty > 0):
            held, new = abs(self.quantity), abs(self.quantity + qty)
            self.avg_price = (self.avg_price * held + price * abs(qty)) / new
            self.settle_price = (self.settle_price * held + price * abs(qty)) / new
            self.quantity += qty
            return 0.0
        realised = (price - self.settle_price) * -qty * self.multiplier
        self.quantity += qty
        if self.quantity == 0:
            self.avg_price = self.settle_price = 0.0
            self.transaction_cost = self.buy_transaction_cost = self.sell_transaction_cost = 0.0
        return realised

    def __repr__(self):
        return "Position(%s, quantity=%s, avg_price=%.4f, last_price=%.4f)" % (
            self.order_book_id, self.quantity, self.avg_price, self.last_price)


class _Account:
    def __init__(self, starting_cash):
        self.starting_cash = starting_cash
        self.positions = {}
        self.day_transaction_cost = 0.0

    @property
    def market_value(self):
        return sum(p.market_value for p in self.positions.values())

    def mark(self, market):
        for oid, pos in self.positions.items():
            price = market.price(oid)
            if price is not None:
                pos.last_price = price

    def book(self, pos, qty, price, cost):
        self.day_transaction_cost += cost
        realised = pos.apply(qty, price, cost)
        if pos.quantity == 0:
            self.positions.pop(pos.order_book_id, None)
        return realised


class StockAccount(_Account):
    type = "STOCK"
    margin = 0.0

    def __init__(self, starting_cash):
        super().__init__(starting_cash)
        self.cash = starting_cash

    @property
    def total_value(self):
        return self.cash + self.market_value

    def book(self, pos, qty, price, cost):
        self.cash -= qty * price + cost
        super().book(pos, qty, price, cost)

    def settle(self):
        pass


class FutureAccount(_Account):
    """Marked to market: each settlement books the day's profit into the balance."""

    type = "FUTURE"

    def __init__(self, starting_cash):
        super().__init__(starting_cash)
        self.balance = starting_cash

    @property
    def total_value(self):
        return self.balance + sum((p.last_price - p.settle_price) * p.quantity * p.multiplier
                                  for p in self.positions.values())

    @property
    def margin(self):
        return sum(p.margin for p in self.positions.values())

    @property
    def cash(self):
        return self.total_value - self.margin

    def book(self, pos, qty, price, cost):
        self.balance += super().book(pos, qty, price, cost) - cost

    def settle(self):
        for pos in self.positions.values():
            self.balance += (pos.last_price - pos.settle_price) * pos.quantity * pos.multiplier
            pos.settle_price = pos.last_price


class Order:
    def __init__(self, order_id, order_book_id, quantity, created):
        self.order_id = order_id
        self.order_book_id = order_book_id
        self.side = "BUY" if quantity > 0 else "SELL"
        self.quantity = abs(quantity)
        self.filled_quantity = 0
        self.avg_fill_price = 0.0
        self.status = "PENDING"
        self.message = ""
        self.created = created

    def __repr__(self):
        return "Order(%s %s %s x%d, filled %d, %s)" % (
            self.order_id, self.side, self.order_book_id, self.quantity, self.filled_quantity, self.status)


class Broker:
    def __init__(self, bundle, market, accounts, journal, on_trade, *, matching="current_bar",
                 slippage=0.0, commission_multiplier=1.0, margin_multiplier=1.0, short_stock=False):
        self.bundle = bundle
        self.market = market
        self.accounts = accounts            # {"STOCK": StockAccount, "FUTURE": FutureAccount}
        self.journal = journal
        self.on_trade = on_trade
        self.matching = matching
        self.slippage = slippage
        self.commission_multiplier = commission_multiplier
        self.margin_multiplier = margin_multiplier
        self.short_stock = short_stock
        self.pending = []
        self._order_ids = itertools.count(1)
        self._exec_ids = itertools.count(1)

    # -- positions -----------------------------------------------------------

    def account_of(self, instrument):
        return self.accounts.get("FUTURE" if instrument.type == "Future" else "STOCK")

    def position(self, oid):
        """The held position of oid, or None."""
        for account in self.accounts.values():
            if oid in account.positions:
                return account.positions[oid]
        return None

    def open_position(self, account, instrument):
        pos = account.positions.get(instrument.order_book_id)
        if pos is None:
            pos = account.positions[instrument.order_book_id] = Position(instrument, self.margin_multiplier)
            pos.last_price = self.market.price(instrument.order_book_id) or 0.0
        return pos

    # -- orders --------------------------------------------------------------

    def submit(self, oid, amount, quiet=False):
        """Place an order for amount (signed) units of oid; None when it is refused.

        quiet: an amount that rounds to nothing is expected (a target already met).
        """
        instrument = self.bundle.instrument(oid)
        if instrument is None:
            return self._refuse("order refused: unknown instrument %r" % (oid,))
        if not instrument.tradable:
            return self._refuse("order refused: %s is an index and cannot be traded" % oid)
        account = self.account_of(instrument)
        if account is None:
            kind = "future" if instrument.type == "Future" else "stock"
            return self._refuse("order refused: %s needs a %s account (--account %s AMOUNT)" % (oid, kind, kind))
        if self.market.phase == "init":
            return self._refuse("order refused: orders cannot be placed in init()")
        pos = account.positions.get(oid)
        held = pos.quantity if pos else 0
        qty = self._round(instrument, held, amount)
        if instrument.type == "CS" and held + qty < 0 and not self.short_stock:
            if held <= 0:
                return self._refuse("order refused: selling %s short needs --short-stock" % oid)
            self.journal.write(30, "sell order for %s cut to the %d shares held (short selling is off)"
                               % (oid, held))
            qty = -held
        if qty == 0:
            if not quiet:
                self.journal.write(10, "order for %s of %s units rounds to nothing" % (oid, amount))
            return None
        order = Order(str(next(self._order_ids)), oid, qty, self.market.now_text())
        if self.matching == "next_bar":
            self.pending.append(order)
        else:
            self._execute(order, instrument, "close")
        return order

    def match_open(self):
        orders, self.pending = self.pending, []
        for order in orders:
            self._execute(order, self.bundle.instrument(order.order_book_id), "open")

    def cancel_pending(self):
        for order in self.pending:
            order.status = "CANCELLED"
            order.message = "the backtest ended before the next bar"
        count, self.pending = len(self.pending), []
        return count

    def _refuse(self, message):
        self.journal.write(30, message)
        return None

    @staticmethod
    def _round(instrument, held, amount):
        if instrument.type != "CS":
            return int(amount)
        want = abs(int(amount))
        sign = 1 if amount > 0 else -1
        if held and (held > 0) != (amount > 0):
            # Closing the whole position may leave odd lots behind; anything
            # else trades whole lots only.
            closing = min(want, abs(held))
            if closing < abs(held):
                return sign * (closing // LOT * LOT)
            return sign * (closing + (want - closing) // LOT * LOT)
        return sign * (want // LOT * LOT)

    def _commission(self, instrument, turnover):
        if instrument.type == "Future":
            return turnover * FUTURE_COMMISSION_RATE * self.commission_multiplier
        return max(turnover * STOCK_COMMISSION_RATE, STOCK_MIN_COMMISSION) * self.commission_multiplier

    def _cancel(self, order, message):
        order.status = "CANCELLED"
        order.message = message
        self.journal.write(30, "order %s (%s %s x%d) %s" % (
            order.order_id, order.side, order.order_book_id, order.quantity, message))

    def _execute(self, order, instrument, field):
        oid = order.order_book_id
        base = self.market.bar_value(oid, field)
        if base is None:
            return self._cancel(order, "cancelled: no bar for %s on %s" % (oid, self.market.day))
        sign = 1 if order.side == "BUY" else -1
        lot = LOT if instrument.type == "CS" else 1
        qty = order.quantity
        cut = None
        if self.matching != "signal":
            cap = int(self.market.bar_value(oid, "volume") * VOLUME_LIMIT) // lot * lot
            if qty > cap:
                qty, cut = cap, "volume limit"
        price = base * (1 + sign * self.slippage)
        account = self.account_of(instrument)
        pos = self.open_position(account, instrument)
        if instrument.type == "CS" and sign < 0 and not self.short_stock and qty > pos.quantity:
            # Checked at submission too, but pending orders can overlap.
            qty, cut = max(pos.quantity, 0), "short selling is off"
        affordable = self._affordable(instrument, account, pos, sign, qty, price, lot)
        if affordable < qty:
            qty, cut = affordable, "not enough cash"
        if qty <= 0:
            if not pos.quantity:
                account.positions.pop(oid, None)
            return self._cancel(order, "cancelled: %s" % cut)

        closing = min(qty, abs(pos.quantity)) if pos.quantity * sign < 0 else 0
        parts = [(closing, "CLOSE"), (qty - closing, "OPEN")]
        # Stamped with the time of the price it got, wherever the order was placed.
        when = "%s %s" % (self.market.day, "09:30:00" if field == "open" else "15:00:00")
        turnover = qty * price * instrument.multiplier
        commission = self._commission(instrument, turnover)
        for part_qty, effect in parts:
            if not part_qty:
                continue
            part_turnover = part_qty * price * instrument.multiplier
            part_commission = commission * part_qty / qty
            tax = part_turnover * STAMP_TAX_RATE if instrument.type == "CS" and sign < 0 else 0.0
            pos.last_price = base
            account.book(pos, sign * part_qty, price, part_commission + tax)
            self.on_trade({
                "datetime": when, "order_book_id": oid, "order_id": order.order_id,
                "side": "SIDE." + order.side, "position_effect": "POSITION_EFFECT." + effect,
                "exec_id": str(next(self._exec_ids)), "transaction_cost": part_commission + tax,
                "last_quantity": part_qty, "last_price": price, "commission": part_commission, "tax": tax,
            })
            if effect == "CLOSE" and part_qty < qty:
                pos = self.open_position(account, instrument)
        order.filled_quantity = qty
        order.avg_fill_price = price
        if cut:
            self._cancel(order, "filled %d of %d (%s); the rest is cancelled" % (qty, order.quantity, cut))
        else:
            order.status = "FILLED"

    def _affordable(self, instrument, account, pos, sign, qty, price, lot):
        """Largest quantity up to qty (whole lots when cut) the account can pay for."""
        if instrument.type == "CS":
            if sign < 0:
                return qty
            cash = account.cash
            def cost(q):
                turnover = q * price
                return turnover + self._commission(instrument, turnover)
            if cost(qty) <= cash:
                return qty
            q = min(qty, int(cash / price)) // lot * lot
            while q > 0 and cost(q) > cash:
                q -= lot
            return max(q, 0)
        # Futures: closing frees margin, opening needs it (plus fees).
        closing = min(qty, abs(pos.quantity)) if pos.quantity * sign < 0 else 0
        per_contract = price * instrument.multiplier * (pos.margin_rate + FUTURE_COMMISSION_RATE * self.commission_multiplier)
        if per_contract <= 0:
            return qty
        opening = min(qty - closing, max(0, math.floor(account.cash / per_contract)))
        return closing + opening
