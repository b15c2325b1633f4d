"""Load-run results: the statistics of a threads_main run merged across
processes or machines, written as an HTML report, and the command line
`python -m vigil_load` that runs a callable as a load run.

    import vigil_load
    merged = vigil_load.merge([stats_a, stats_b])   # dicts of _get_statistics()
    vigil_load.write_report(merged, "report.html")  # needs the extra "report"

Importing this package needs nothing outside the standard library.
"""

from .histogram import Histogram
from .report import ReportUnavailable, write_report
from .stats import StatsError, merge

__all__ = ["Histogram", "ReportUnavailable", "StatsError", "merge", "write_report"]
