"""Summary trees of a posterior sample: majority-rule and all-compatible consensus, MCC and HIPSTR."""

from .api import CladeSummary, SummaryResult, summarize, write_credible, write_tree
from .credible import CredibleTopology

__all__ = ["CladeSummary", "CredibleTopology", "SummaryResult", "summarize", "write_credible", "write_tree"]
