"""FundTableRepair's release: dist makes it, signing signs it, verification judges it, against the
one policy of what a release holds. It imports nothing of the test harness (fundtable), which may
use it. Run as `tools/python/run fundrelease.MODULE`."""
