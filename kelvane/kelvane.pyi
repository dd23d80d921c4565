"""Random battles matchmaker."""

from typing import Dict, List, Optional, Tuple, Type, TypedDict, TypeVar

# One queue: (queueKey, maps, tmbs, totalImb, levelImb, maxVehicles). tmbs are layouts
# [top, mid, bottom, wait]; totalImb and levelImb hold up to five lists of wait times, one per
# class (squad players, scouts, SPGs, AT-SPGs, heavies); maxVehicles up to five caps.
_QueueDescription = Tuple[int, List[int], List[List[int]], List[List[int]], List[List[int]],
                          List[int]]
_Self = TypeVar('_Self', bound='RandomMatchmaker')

__version__: str

# What stats returns. Counts per class are in class order: squad players (for single players,
# vehicles of no special class), scouts, SPGs, AT-SPGs, heavies.
class _LevelStats(TypedDict):
    players: int
    singles: List[int]
    squads: Dict[int, int]  # members -> squads waiting
    oldest: int

class _Allowances(TypedDict):
    total: List[int]  # -1 where a class has reached none of its thresholds
    level: List[int]

class _LastCall(TypedDict):
    time: int
    seconds: float
    tried: int
    formed: Optional[int]
    budget: bool
    penalty: Optional[int]
    visited: int
    reason: Optional[str]

class _QueueStats(TypedDict):
    players: int
    entries: int
    levels: List[_LevelStats]  # top (0) to bottom (2)
    wait: int
    allowances: _Allowances
    layouts: int
    last: Optional[_LastCall]

class RandomMatchmaker:
    """Random matchmaker."""

    def __new__(cls: Type[_Self], seed: int, config: List[_QueueDescription], /) -> _Self:
        """Builds one queue per description, all drawing from a generator seeded with seed; a
        malformed description raises TypeError or ValueError naming the queue and item at
        fault."""
    def enqueue(self, queue: int, time: int, key: int, level: int, types: List[int],
                lastMaps: List[List[int]], /) -> None:
        """Enqueues squad to the queue.

        level is 0 (top) to 2 (bottom); types holds the vehicle type of every member, lastMaps
        every member's recent maps."""
    def dequeue(self, queue: int, key: int, /) -> None:
        """Dequeues squad from the queue."""
    def formteams(self, queue: int, time: int, /) -> Tuple[int, Tuple[int, ...], Tuple[int, ...]]:
        """Attempts to form teams to the random battle.

        Returns (map, team A keys, team B keys), or (0, (), ()) when no battle can be formed;
        the squads stay enqueued until dequeued."""
    def stats(self, queue: int, time: int, /) -> _QueueStats:
        """Reports what the queue holds at the given time and what its last formteams call did,
        as a new dict."""
