"""Benchmarks of tarnu_api beside its pure-Python twin and a C floor; run from the top
of the checkout as modules (python -m bench.run)."""
