"""Stand-in for the kestrun backtest engine: daily bars, standard library only.

Entry point: engine/kestrun-plus-script.py (see engine/README.md).
"""
