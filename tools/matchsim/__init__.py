"""Matchmaking simulation: simulated traffic driving the matchmakers, and reports of how they did.

traffic         when players join, who is idle, the simulated clock, the random draws
random_battles  the random-battle scenario on kelvane.RandomMatchmaker
rated           the rated scenario and its matchmaker written on tessart.Tree
report          the reports as text and the progress line
cli             the command line behind tools/simulate.py (python -m matchsim simulate)
recording       RecordingMatchmaker, which logs a server's calls, and the log format
replay          exact replay and what-if runs of a log (python -m matchsim replay)
config          configuration files: loading, shared checks, the error they raise
stats           percentiles, summaries and rounding

It runs under Python 2.7 and Python 3 alike: the draws and the rounding are Python 2.7's on
both, so a seed and options give the same traffic and, where every formteams call ends inside
its budget, the same report.

The names below are those scripts and tests use; each module documents the rest.
"""

from .cli import SCENARIOS, main, parser  # noqa: F401
from .config import ConfigError, load_config  # noqa: F401
from .random_battles import (RANDOM_DEFAULT_CONFIG, RANDOM_DEFAULTS, TICK_BUDGET,  # noqa: F401
                             RandomBattleSimulation, Squad, battle_balance,
                             kelvane_matchmaker, validate_config, vehicle_class)
from .rated import (ELO_K, RATED_DEFAULT_CONFIG, RatedMatchmaker, RatedSimulation,  # noqa: F401
                    rating_change, split_teams, tessart_matchmaker, validate_rated_config)
from .recording import LogError, RecordingMatchmaker, read_log  # noqa: F401
from .report import Progress, wait_band, wait_band_names  # noqa: F401
from .stats import nearest, percentile, summarize  # noqa: F401
from .traffic import ArrivalProcess, Draws, IdlePool, SimulationError  # noqa: F401
