// The first pass of the team search: for one team layout, the squad composition and the single
// players of each level, from the bottom level up, with the lowest score; among equal scores the
// candidate that comes last in the natural order (levels from the bottom up, each level's
// compositions in the generator's order, each composition's rosters in the filling's order).
//
// Guarantees: the chosen candidate is exactly the one that trying every candidate would choose,
// whenever the search completes within the call's budget; the budget is only a backstop.
//
// What the levels above a level can still do depends only on the running totals as a state: the
// class differences and the room left under the caps (the room only up to the places left, more
// can never bind). The search is a dynamic programme over those states: the exact least cost of
// the levels above is computed once per state reached and kept, with the choice that attains it.
// Lower bounds (teamscore, below) decide which states and rosters need solving at all.
//
// Cost: a call walks the bottom level's candidates once, and each state entering the middle or
// the top level's candidates once, so at most the bottom's candidates plus, for each level above
// it, its states times its candidates. The states of a level are the distinct running totals
// that the candidates below can leave, with the room under the caps clipped to the places left.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

#include "Types.h"

// The score of a candidate and lower bounds on the scores the search has not seen yet. All of it
// works on int64_t: three levels' places may exceed 32 bits.
namespace teamscore {

// Above any score the search can keep.
constexpr int64_t kUnreachable = INT64_MAX / 4;

// The squad term of one level.
int64_t squadTerm(const SquadRoster& squads);
// The score of one level: its player, squad and level terms.
int64_t levelTerms(const SquadRoster& squads, const SquadRoster& players);
// The whole-battle term of running totals; kUnreachable when a class is beyond its limit.
int64_t battleTerm(const SquadRoster& total, const TeamState& limit);
// The player and level terms of special class i at a level whose squads leave the class
// difference `squads` and whose single players bring it to d.
int64_t fillTerm(int i, int64_t squads, int64_t d);
// Where single players can take class i of a level from the squads' own difference: within the
// condition's range, no further than `players` and the room on the receiving side allow. False
// when no target can succeed, so that the composition has no roster at all.
bool fillRange(const SquadCondition& cond, const SquadRoster& squadRoster, int i, int players,
               int teamALeft, int teamBLeft, int64_t& lo, int64_t& hi);
// What moving a class difference by one unit costs a level at the least: the level term plus the
// cheaper of the player and squad terms (the squad term alone for squad players).
int64_t unitCost(int i);
// The least the levels above and the whole-battle term add for class i, knowing only that the
// levels above move the difference x by some s within lo .. hi, each unit at unitCost(i) at
// least. kUnreachable when even the best s leaves x + s beyond limit.
int64_t hullCost(int i, int64_t x, int64_t lo, int64_t hi, int64_t limit);

// Where one level can take each class difference, and at what least cost to its own score: for
// class i, least[i][e - lo[i]] bounds the class's share of the level's score from below over the
// candidates that move the difference by e (kUnreachable for none). Classes whose range is too
// wide to tabulate keep only the hull lo .. hi.
struct LevelReach {
    std::array<int64_t, CONDITION_COUNT> lo{}, hi{};
    std::array<std::vector<int64_t>, CONDITION_COUNT> least;
    // Widest range tabulated; beyond it only the hull is kept.
    static constexpr int64_t kMaxWidth = 256;
    // Starts every class empty (lo > hi).
    void clear();
    // Takes in one class's share of one composition's candidates: difference e at cost.
    void add(int i, int64_t e, int64_t cost);
};

// Per class, a lower bound on what the levels above a level and the whole-battle term add to the
// score, given the class difference of the running totals on leaving the level. The classes are
// apart: a candidate's score is a sum over the classes, and each class's share is bounded on its
// own over every sequence of moves the levels above can make. Tabulated over the differences that
// can still end within the limit; outside the table either nothing is within reach (complete) or
// the hull bound of the moves applies.
class AboveBound {
  public:
    // Nothing above: the whole-battle term alone, exact.
    void reset(const TeamState& limit);
    // The bound for the level below `level`, whose reach is given: this bound, plus the least
    // that `level` can pay for each move.
    void addLevel(const LevelReach& level);
    int64_t at(int i, int64_t x) const {
        const int64_t slot = x - _from[i];
        if (slot >= 0 && slot < static_cast<int64_t>(_table[i].size())) return _table[i][slot];
        return _complete[i] ? kUnreachable : hullCost(i, x, _hullLo[i], _hullHi[i], _limit[i]);
    }
    // The sum over the classes of the running totals.
    int64_t at(const SquadRoster& total) const;

    // Widest table kept; beyond it the hull bound takes over.
    static constexpr int64_t kMaxWidth = 4096;

  private:
    std::array<std::vector<int64_t>, CONDITION_COUNT> _table;
    std::array<int64_t, CONDITION_COUNT> _from{}, _hullLo{}, _hullHi{}, _limit{};
    std::array<bool, CONDITION_COUNT> _complete{};
};

}  // namespace teamscore

class TeamSearch {
  public:
    using Clock = std::chrono::steady_clock;
    // A score above this is never kept: the search then finds nothing.
    static constexpr int64_t kNoSolution = 10000000;
    // The clock is read before every this many single-player candidates: often enough to stop
    // within a fraction of a millisecond of the budget, seldom enough to cost nothing.
    static constexpr uint32_t kClockCadence = 64;

    // What one level offers, filled in by the caller before run: its places per team, the single
    // players waiting per class, and the squad compositions that its generator offers with
    // nothing fixed yet, in the generator's order.
    struct Offer {
        int size = 0;
        TeamState players{};
        MatchingResult compositions;
    };
    Offer& offer(int level) { return _levels[level].offer; }

    // Searches the offers under the caps over the whole team, the per-level and the whole-battle
    // allowances, within TICK_TIMEOUT of start. True and solution filled iff a candidate scoring
    // at most kNoSolution was found; false and solution untouched otherwise.
    bool run(const TeamState& caps, const TeamState& levelImbalance,
             const TeamState& totalImbalance, Clock::time_point start, Solution& solution);
    // The score of what the last run returned; kNoSolution when it found nothing.
    int64_t penalty() const { return _penalty; }
    // Whether the budget stopped the last run before it completed.
    bool cut() const { return _cut; }
    // The single-player candidates the last run looked at: a measure of its work.
    uint64_t visited() const { return _visited; }

    // The conditions of one level given the running totals of the levels below.
    // Squad compositions: within the places and caps left; squad-player difference within the
    // level allowance, SPGs within 1 and the other classes within 3 (single players can still
    // even them out); a small top level (at most three places) balanced exactly, one SPG a team.
    static Conditions squadConditions(const TeamState& caps, const TeamState& levelImbalance,
                                      const SquadRoster& current, int size, int level);
    // Single players: the same caps, each class within its level allowance; entry condSquad is
    // (size, size, 0, 0), which the filling does not read.
    static Conditions playerConditions(const TeamState& caps, const TeamState& levelImbalance,
                                       const SquadRoster& current, int size, int level);
    // How many single players of one class to add, and to which team, so that the class
    // difference at the level becomes exactly imbalance; false when too few wait or the room of
    // the receiving team is too small (outputs then unwritten).
    static bool checkPlayers(int& teamA, int& teamB, int imbalance, int squadA, int squadB,
                             int available, int maxTeamA, int maxTeamB);

    // The candidates of the top level with nothing fixed that add the same class differences
    // (squad players at condSquad), with the least score of their own, and what they ask of the
    // caps at the least: the fewest of each class they put in each team, the most pairs they
    // leave, the fewest places they leave to pairs.
    struct Move {
        TeamState usedA{}, usedB{};
        TeamState pairs{};  // the pairs of single players left in each class
        std::array<int32_t, CONDITION_COUNT> diffs{};
        int64_t cost = 0;
        int32_t free = 0;  // the places per team left for the second pass's pairs
    };
    // Whether a top move can still be made with this room left under the caps (or more), as the
    // top's conditions and filling would find: its counts within the caps, and pairs enough for
    // its free places.
    static bool topFits(const Move& move, int topSize, const TeamState& roomA,
                        const TeamState& roomB);
    // Bounds a filling: a roster is not kept when, in every branch, its classes so far plus the
    // least the others can cost reach budget. A branch bounds what the levels above add either
    // per class (one branch), or with one move of the top level taken whole (one branch a move).
    // In a branch, cost(i, d) is the least that class i can add when the level ends it at d: its
    // player and level terms and the branch's bound above.
    struct FillBound {
        static constexpr int kMaxBranches = 16;
        struct Branch {
            const teamscore::AboveBound* above = nullptr;
            const Move* move = nullptr;                    // the top's move taken whole, if any
            std::array<int64_t, CONDITION_COUNT> shift{};  // the differences the move adds
            // rest[i]: the least the classes after i can add; spent[i]: what those before i
            // cost, the branch's own share included.
            std::array<int64_t, CONDITION_COUNT> rest{};
            std::array<int64_t, CONDITION_COUNT + 1> spent{};
        };
        int64_t cost(const Branch& branch, int i, int64_t d) const {
            return teamscore::fillTerm(i, squads[i], d) +
                   branch.above->at(i, below[i] + d + branch.shift[i]);
        }
        std::array<int64_t, CONDITION_COUNT> below{}, squads{};
        // Room under the caps left by the levels below and the level's squads: a top move that
        // does not fit what the filling leaves of it cannot follow.
        std::array<int64_t, CONDITION_COUNT> roomA{}, roomB{};
        int topSize = 0;
        int64_t budget = 0;
        int branchCount = 0;
        std::array<Branch, kMaxBranches> branches;
    };
    // Every way of completing the composition result[index] with single players, appended to
    // result in nested order (the scout target slowest, the heavy target fastest, each from the
    // lower end of its range), each with index as its parent. With a bound, only the rosters
    // that can still come under its budget.
    static void fill(int type, MatchingResult& result, int index, const Conditions& conditions,
                     const TeamState& players, SquadRoster current, int freeA, int freeB,
                     FillBound* bound = nullptr);

  private:
    // One level's choice: a composition (its index in the offer) and its single players.
    struct Choice {
        int32_t composition = -1;
        SquadRoster players{};
    };
    // Per class: the difference of the running totals, then the room left under the cap in
    // team A and in team B, clipped to the places of the levels left.
    using StateKey = std::array<int32_t, 3 * CONDITION_COUNT>;

    // What is known per key (a state, or class differences) for one layout. Open addressing
    // over a buffer kept from call to call; clear() forgets every entry at once.
    template <class Key, class Value>
    class Table {
      public:
        void clear() {
            ++_stamp;
            _used = 0;
            if (_stamp == 0) {  // wrapped: no stale entry may pass for a current one
                for (Entry& entry : _entries) entry.stamp = 0;
                _stamp = 1;
            }
        }
        // Null when the key is not in the table.
        Value* find(const Key& key) { return const_cast<Value*>(std::as_const(*this).find(key)); }
        const Value* find(const Key& key) const {
            if (_entries.empty()) return nullptr;
            const size_t mask = _entries.size() - 1;
            for (size_t slot = hash(key) & mask;; slot = (slot + 1) & mask) {
                const Entry& entry = _entries[slot];
                if (entry.stamp != _stamp) return nullptr;
                if (entry.key == key) return &entry.value;
            }
        }
        // REQUIRES: key not in the table. Beyond kMaxEntries keys, new ones are not kept.
        void insert(const Key& key, const Value& value) {
            if (2 * (_used + 1) > _entries.size()) {
                if (_used >= kMaxEntries) return;
                std::vector<Entry> old;
                old.swap(_entries);
                _entries.assign(std::max<size_t>(kFirstEntries, 2 * old.size()), Entry{});
                _used = 0;
                for (const Entry& entry : old)
                    if (entry.stamp == _stamp) insert(entry.key, entry.value);
            }
            const size_t mask = _entries.size() - 1;
            size_t slot = hash(key) & mask;
            while (_entries[slot].stamp == _stamp) slot = (slot + 1) & mask;
            _entries[slot] = Entry{key, value, _stamp};
            ++_used;
        }

      private:
        struct Entry {
            Key key{};
            Value value{};
            uint32_t stamp = 0;  // current only when equal to _stamp
        };
        static uint64_t hash(const Key& key) {
            uint64_t h = 0x9e3779b97f4a7c15ULL;
            for (int32_t part : key) h = (h ^ static_cast<uint32_t>(part)) * 0xff51afd7ed558ccdULL;
            return h ^ (h >> 29);
        }
        // About 30 MB of states at the most; a state not kept is only solved again. A table
        // starts small: a server holds one per level of every queue, and most calls need few.
        static constexpr size_t kMaxEntries = size_t{1} << 18;
        static constexpr size_t kFirstEntries = 256;
        std::vector<Entry> _entries;  // empty or a power of two
        size_t _used = 0;
        uint32_t _stamp = 1;
    };

    // A composition taking part, with the least score of any candidate through it and, per
    // class, where single players can take the level's difference with nothing fixed.
    struct Composition {
        int32_t index;
        int64_t least;
        std::array<int64_t, CONDITION_COUNT> lo, hi;
    };
    struct Level {
        Offer offer;
        Conditions open{};  // the player conditions with nothing fixed yet
        // The compositions that single players may complete, in the offer's order, and the
        // order the search takes them in, (least, minus the position) cheapest first: sorted as
        // far as searches have gone, the rest pending in a heap.
        std::vector<Composition> compositions;
        std::vector<std::pair<int64_t, int32_t>> order, pending;
        // The entry at `taken` in that order. REQUIRES taken < compositions.size().
        const std::pair<int64_t, int32_t>& ordered(size_t taken);
        teamscore::LevelReach reach;
        // The fewest squad members of each class a composition puts in each team: every
        // candidate of the level takes at least that much room under the caps.
        TeamState fewestA{}, fewestB{};
        teamscore::AboveBound above;  // what the levels above this one add at the least
        // The same without the top level, whose moves are taken whole (_above).
        teamscore::AboveBound besideTop;
        int64_t placesLeft = 0;  // places per team of this level and those above it
        // Scratch of one visit: the composition being completed, then its rosters, and those
        // that can still win by their bound, (bound, minus the roster's place).
        MatchingResult rosters;
        std::vector<std::pair<int64_t, int32_t>> ranked;
    };
    // Most candidates the top lists: beyond, it is no thin level and the per-class bound serves.
    static constexpr size_t kMaxListed = size_t{1} << 14;

    // The exact least score of `level`, the levels above and the whole-battle term from the
    // running totals `current`, with the level's choice that attains it, the last in the natural
    // order among equals; kUnreachable when no candidate exists. When the budget runs out:
    // _stopped, and above the bottom level the value is not to be used.
    int64_t _solve(int level, const SquadRoster& current, Choice& choice);
    // The exact least from a state entering `level`, solved once and kept.
    int64_t _solved(int level, const SquadRoster& current, Choice& choice);
    // Whether the level's choice is a candidate from the running totals `current`.
    bool _admits(int level, const SquadRoster& current, const Choice& choice) const;
    // The running totals after a level's choice.
    SquadRoster _after(int level, const SquadRoster& current, const Choice& choice) const;
    // A lower bound on every candidate through one composition from `current`, at least budget
    // once it reaches it; leaves in bound what the filling needs.
    // `narrowed` names the classes whose caps the running totals have narrowed.
    int64_t _compositionBound(const Level& level, const Composition& composition,
                              const SquadRoster& current, const Conditions& conditions,
                              const std::array<bool, CONDITION_COUNT>& narrowed, int64_t budget,
                              FillBound& bound) const;
    // Takes a level's offer in: the compositions single players can complete, their least
    // scores and the level's reach. False when no composition can be completed.
    bool _prepare(int level);
    // Lists the top level's moves, cheapest first, unless it has more than kMaxListed
    // candidates; with them, the per-class bounds take the top's exact shares.
    void _listTop();
    // The per-class bounds of every level from the levels' reach.
    void _bound();
    // A lower bound on what the levels above `level` and the whole-battle term add from the
    // running totals on leaving it. The top level is thin where the search is hard, so its moves
    // are taken whole where listed: the least over those that fit the room under the caps of the
    // move's own score plus the per-class bound of the rest (exact below the top: the
    // whole-battle term alone). Otherwise the per-class bound.
    int64_t _above(int level, const SquadRoster& total);

    StateKey _key(const SquadRoster& total, int64_t placesLeft) const;
    bool _outOfTime();

    std::array<Level, LEVEL_COUNT> _levels;
    // Per level below the top: the states entering it solved so far, their value and choice.
    std::array<Table<StateKey, std::pair<int64_t, Choice>>, LEVEL_COUNT - 1> _memo;
    std::vector<Move> _topMoves;
    enum class TopMoves { unknown, listed, tooMany } _top = TopMoves::unknown;
    // Per level: _above known so far, by the state the top is entered with; and a scratch index
    // of moves by what they put in each team.
    std::array<Table<StateKey, int64_t>, LEVEL_COUNT> _knownAbove;
    Table<std::array<int32_t, CONDITION_COUNT>, int64_t> _moveIndex;
    TeamState _caps{}, _levelImbalance{}, _totalImbalance{};
    Clock::time_point _start{};
    uint32_t _untilClock = 0;
    bool _timed = true;  // off while a winner is rebuilt: its states were solved in time
    bool _stopped = false;
    bool _cut = false;
    uint64_t _visited = 0;
    int64_t _penalty = kNoSolution;
};
