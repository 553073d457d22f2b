"""Local portfolio analytics service: framed JSON over TCP, computed from a market-data bundle."""
