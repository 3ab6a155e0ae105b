"""Summary trees of a posterior sample: majority-rule and all-compatible consensus, MCC and HIPSTR."""

from .api import CladeSummary, SummaryResult, summarize, write_credible, write_tree
from .credible import CredibleTopology
from .plot import draw_tree, write_plot
from .settings import SummarizeSettings

__all__ = ["CladeSummary", "CredibleTopology", "SummarizeSettings", "SummaryResult", "draw_tree", "summarize",
           "write_credible", "write_plot", "write_tree"]
