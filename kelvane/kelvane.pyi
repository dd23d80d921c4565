"""Random battles matchmaker."""

from typing import List, Tuple, Type, TypeVar

# One queue: (queueKey, maps, tmbs, totalImb, levelImb, maxVehicles). tmbs are layouts
# [top, mid, bottom, wait]; totalImb and levelImb hold up to five lists of wait times, one per
# class (squad players, scouts, SPGs, AT-SPGs, heavies); maxVehicles up to five caps.
_QueueDescription = Tuple[int, List[int], List[List[int]], List[List[int]], List[List[int]],
                          List[int]]
_Self = TypeVar('_Self', bound='RandomMatchmaker')

class RandomMatchmaker:
    """Random matchmaker."""

    def __new__(cls: Type[_Self], seed: int, config: List[_QueueDescription], /) -> _Self:
        """Seeds the process-wide rand() and builds one queue per description; a malformed
        description raises TypeError or ValueError naming the queue and item at fault."""
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
