// The Python binding of the matchmaker: module kelvane and its type RandomMatchmaker.
//
// The binding only converts and checks. Every argument is checked in full before the core is
// called, so a refused call leaves the matchmaker exactly as it was; integers are read from the
// objects themselves (never through __int__), so no script code runs while a list is being read.
// Each entry point catches whatever the core throws: no C++ exception reaches the interpreter.
#include <Python.h>
#include <structmember.h>

#include <climits>
#include <cstdint>
#include <exception>
#include <map>
#include <new>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "Queue.h"
#include "Types.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Python 2 and Python 3
//
// The module builds for both interpreters. What differs between them is kept here and in the
// module initialisation at the end of this file; the rest of the binding is written once.
// Python 2 has two integer types: where it takes a plain int and refuses a long, Python 3 takes
// any int (bool included), truncated the same way, and refuses one beyond a C long with
// OverflowError.

#if PY_MAJOR_VERSION >= 3

bool isPlainInt(PyObject* object) {
    return PyLong_Check(object);
}

// The value of an object that passed isPlainInt; false with OverflowError set beyond a C long.
// Reads the number itself, never __index__, so no script code runs.
bool plainIntValue(PyObject* object, long& value) {
    value = PyLong_AsLong(object);
    return !(value == -1 && PyErr_Occurred());
}

PyObject* newPlainInt(long value) {
    return PyLong_FromLong(value);
}

// Python 2's int, whose value is always a C long; Python 3 has no such type.
bool isSmallInt(PyObject* /*object*/) {
    return false;
}
long smallIntValue(PyObject* /*object*/) {
    return 0;
}

#else

bool isPlainInt(PyObject* object) {
    return PyInt_Check(object);
}

bool plainIntValue(PyObject* object, long& value) {
    value = PyInt_AS_LONG(object);
    return true;
}

PyObject* newPlainInt(long value) {
    return PyInt_FromLong(value);
}

bool isSmallInt(PyObject* object) {
    return PyInt_Check(object);
}
long smallIntValue(PyObject* object) {
    return PyInt_AS_LONG(object);
}

#endif

// An exact int argument within the range of a C int, read as the parser's "i" reads it; false
// (no error set) for anything else, which the caller then leaves to the parser.
bool exactInt(PyObject* object, int& value) {
#if PY_MAJOR_VERSION >= 3
    if (!PyLong_CheckExact(object)) return false;
    int overflow = 0;
    const long read = PyLong_AsLongAndOverflow(object, &overflow);
    if (overflow != 0 || (read == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
#else
    if (!PyInt_CheckExact(object)) return false;
    const long read = PyInt_AS_LONG(object);
#endif
    if (read < INT_MIN || read > INT_MAX) return false;
    value = static_cast<int>(read);
    return true;
}

// Thresholds are read as unsigned 32-bit values through a long.
static_assert(sizeof(long) > sizeof(uint32_t), "long must hold every unsigned 32-bit value");

// ---------------------------------------------------------------------------------------------
// References and errors

// Owns one reference, released when the holder goes out of scope unless handed over.
class PyRef {
public:
    explicit PyRef(PyObject* object) : _object(object) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(_object); }

    // A holder of a new reference to a borrowed object.
    static PyRef borrow(PyObject* object) {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyObject* get() const { return _object; }
    explicit operator bool() const { return _object != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() {
        PyObject* object = _object;
        _object = nullptr;
        return object;
    }

private:
    PyObject* _object;
};

// Sets the Python error for the C++ exception being handled and returns null.
// REQUIRES: called from a catch block.
PyObject* setErrorFromException() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_RuntimeError, "Internal matchmaker error: %s.", error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Internal matchmaker error.");
    }
    return nullptr;
}

// Sets type(message) and returns null.
PyObject* fail(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Integer conversion

enum class Read {
    ok,
    wrongType,   // neither an int nor a long
    outOfRange,  // an integer outside the accepted range
    failed,      // the interpreter's own error is set
};

// Reads an int or a long (bool included) in [low, high] into value: any int on Python 3.
Read readInteger(PyObject* item, long low, long high, long& value) {
    long read;
    if (isSmallInt(item)) {
        read = smallIntValue(item);
    } else if (PyLong_Check(item)) {
        int overflow = 0;
        read = PyLong_AsLongAndOverflow(item, &overflow);
        if (overflow != 0) return Read::outOfRange;
        if (read == -1 && PyErr_Occurred()) return Read::failed;
    } else {
        return Read::wrongType;
    }
    if (read < low || read > high) return Read::outOfRange;
    value = read;
    return Read::ok;
}

// Reads every item of list through readInteger and hands it to store(value), in order.
// On a fault returns it, with the index of the item at fault in at.
template <typename Store>
Read readIntegers(PyObject* list, long low, long high, Py_ssize_t& at, Store store) {
    const Py_ssize_t size = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < size; ++i) {
        long value = 0;
        const Read read = readInteger(PyList_GET_ITEM(list, i), low, high, value);
        if (read != Read::ok) {
            at = i;
            return read;
        }
        store(value);
    }
    return Read::ok;
}

// ---------------------------------------------------------------------------------------------
// Configuration

constexpr long kSigned32Min = INT32_MIN;
constexpr long kSigned32Max = INT32_MAX;
constexpr long kUnsigned32Max = UINT32_MAX;
// top, mid, bottom, wait.
constexpr Py_ssize_t kTmbItems = std::tuple_size_v<Tmb>;

// What each field of a queue description must be; the messages of refused configurations are
// "queue <key>: <field> must be <form>." and "queue <key>: <field> item <i> must be <form>.".
constexpr const char* kMapsForm = "a non-empty list of signed 32-bit ints";
constexpr const char* kMapForm = "a signed 32-bit int";
constexpr const char* kTmbsForm = "a list of lists";
constexpr const char* kTmbForm = "a list of four non-negative ints below 2**32";
constexpr const char* kTimeoutsForm = "a list of at most five lists";
constexpr const char* kTimeoutForm = "a list of non-negative ints below 2**32";
constexpr const char* kMaxVehiclesForm = "a list of at most five non-negative ints below 2**31";
constexpr const char* kMaxVehicleForm = "a non-negative int below 2**31";

// Checks and converts the fields of one queue description; every refusal names the queue.
class DescriptionReader {
public:
    explicit DescriptionReader(int queueKey) : _queueKey(queueKey) {}

    bool readMaps(PyObject* maps, std::set<int>& allMaps) const {
        if (!PyList_Check(maps)) return fieldError(PyExc_TypeError, "maps", kMapsForm);
        // A queue without maps could never draw one for a battle.
        if (PyList_GET_SIZE(maps) == 0) return fieldError(PyExc_ValueError, "maps", kMapsForm);
        Py_ssize_t at = 0;
        const Read read = readIntegers(maps, kSigned32Min, kSigned32Max, at, [&](long value) {
            allMaps.insert(static_cast<int>(value));
        });
        return read == Read::ok || itemError(read, "maps", at, kMapForm);
    }

    bool readTmbs(PyObject* tmbs, std::vector<Tmb>& tmbData) const {
        if (!PyList_Check(tmbs)) return fieldError(PyExc_TypeError, "tmbs", kTmbsForm);
        const Py_ssize_t size = PyList_GET_SIZE(tmbs);
        tmbData.reserve(static_cast<size_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* entry = PyList_GET_ITEM(tmbs, i);
            if (!PyList_Check(entry) || PyList_GET_SIZE(entry) != kTmbItems)
                return itemError(Read::wrongType, "tmbs", i, kTmbForm);
            Tmb tmb{};
            size_t slot = 0;
            Py_ssize_t at = 0;
            const Read read = readIntegers(entry, 0, kUnsigned32Max, at, [&](long value) {
                tmb[slot++] = static_cast<uint32_t>(value);
            });
            if (read != Read::ok) return itemError(read, "tmbs", i, kTmbForm);
            tmbData.push_back(tmb);
        }
        return true;
    }

    // totalImb and levelImb: list j holds the timeouts of class j; missing lists stay empty.
    bool readTimeouts(PyObject* lists, const char* field, ImbalanceTimeouts& timeouts) const {
        if (!PyList_Check(lists) || PyList_GET_SIZE(lists) > CONDITION_COUNT)
            return fieldError(PyExc_TypeError, field, kTimeoutsForm);
        const Py_ssize_t size = PyList_GET_SIZE(lists);
        for (Py_ssize_t j = 0; j < size; ++j) {
            PyObject* list = PyList_GET_ITEM(lists, j);
            if (!PyList_Check(list)) return itemError(Read::wrongType, field, j, kTimeoutForm);
            std::vector<uint32_t>& classTimeouts = timeouts[static_cast<size_t>(j)];
            Py_ssize_t at = 0;
            const Read read = readIntegers(list, 0, kUnsigned32Max, at, [&](long value) {
                classTimeouts.push_back(static_cast<uint32_t>(value));
            });
            if (read != Read::ok) return itemError(read, field, j, kTimeoutForm);
        }
        return true;
    }

    // Missing trailing caps are 0. Caps are never negative: the search subtracts counts from them.
    bool readMaxVehicles(PyObject* maxVehicles, TeamState& caps) const {
        if (!PyList_Check(maxVehicles) || PyList_GET_SIZE(maxVehicles) > CONDITION_COUNT)
            return fieldError(PyExc_TypeError, "maxVehicles", kMaxVehiclesForm);
        size_t slot = 0;
        Py_ssize_t at = 0;
        const Read read = readIntegers(maxVehicles, 0, kSigned32Max, at, [&](long value) {
            caps[slot++] = static_cast<int32_t>(value);
        });
        return read == Read::ok || itemError(read, "maxVehicles", at, kMaxVehicleForm);
    }

private:
    // Both set the error and return false.
    bool fieldError(PyObject* type, const char* field, const char* form) const {
        PyErr_Format(type, "queue %d: %s must be %s.", _queueKey, field, form);
        return false;
    }
    bool itemError(Read fault, const char* field, Py_ssize_t item, const char* form) const {
        if (fault == Read::failed) return false;
        PyObject* type = fault == Read::wrongType ? PyExc_TypeError : PyExc_ValueError;
        PyErr_Format(type, "queue %d: %s item %zd must be %s.", _queueKey, field, item, form);
        return false;
    }

    int _queueKey;
};

// Converts the whole configuration list into config; false with the error set on any fault.
bool readConfig(PyObject* list, std::map<int, ConfigTuple>& config) {
    if (!PyList_Check(list)) {
        PyErr_SetString(PyExc_TypeError, "config must be a list of queue descriptions.");
        return false;
    }
    // The size is read again on every round: parsing an item may run script code (__int__ of
    // its key) that changes the list.
    for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
        // Owned while it is read, for the same reason.
        PyRef description = PyRef::borrow(PyList_GetItem(list, i));
        if (!description) return false;
        // The parser reports anything but a tuple as a SystemError, an interpreter fault.
        if (!PyTuple_Check(description.get())) {
            PyErr_Format(PyExc_TypeError, "config item %zd must be a tuple of six items.", i);
            return false;
        }
        int queueKey = 0;
        PyObject *maps, *tmbs, *totalImb, *levelImb, *maxVehicles;
        if (!PyArg_ParseTuple(description.get(), "iOOOOO", &queueKey, &maps, &tmbs, &totalImb,
                              &levelImb, &maxVehicles))
            return false;
        ConfigTuple queueConfig;
        auto& [allMaps, tmbData, total, level, vehMaxCounts] = queueConfig;
        const DescriptionReader reader(queueKey);
        if (!reader.readMaps(maps, allMaps) || !reader.readTmbs(tmbs, tmbData) ||
            !reader.readTimeouts(totalImb, "totalImb", total) ||
            !reader.readTimeouts(levelImb, "levelImb", level) ||
            !reader.readMaxVehicles(maxVehicles, vehMaxCounts))
            return false;
        // A later description of the same queue replaces an earlier one.
        config.insert_or_assign(queueKey, std::move(queueConfig));
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Enqueue arguments

// The low 32 bits of a plain int, as the core's 32-bit fields take it.
int32_t low32(long value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

// Reads a list of plain ints (bool included: it passes the int check) into values, each
// truncated to 32 bits. A long is refused like any other non-int.
template <typename Value>
bool readPlainInts(PyObject* list, std::vector<Value>& values) {
    const Py_ssize_t size = PyList_GET_SIZE(list);
    values.reserve(static_cast<size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (!isPlainInt(item)) {
            PyErr_SetString(PyExc_TypeError, "Non-int item in list.");
            return false;
        }
        long value = 0;
        if (!plainIntValue(item, value)) return false;
        values.push_back(static_cast<Value>(low32(value)));
    }
    return true;
}

// Each member's recent maps, most recent first: a list of lists of ints, checked like types.
// maps is resized to one list per member; the lists it held are cleared and reused.
bool readLastMaps(PyObject* lastMaps, std::vector<std::vector<int>>& maps) {
    const size_t size = static_cast<size_t>(PyList_GET_SIZE(lastMaps));
    // Lists beyond the members of this call are kept aside, cleared, for later calls.
    static std::vector<std::vector<int>> spare;
    while (maps.size() > size) {
        maps.back().clear();
        spare.push_back(std::move(maps.back()));
        maps.pop_back();
    }
    while (maps.size() < size) {
        if (spare.empty()) {
            maps.emplace_back();
        } else {
            maps.push_back(std::move(spare.back()));
            spare.pop_back();
        }
    }
    for (size_t i = 0; i < size; ++i) {
        PyObject* memberMaps = PyList_GET_ITEM(lastMaps, static_cast<Py_ssize_t>(i));
        if (!PyList_Check(memberMaps)) {
            PyErr_SetString(PyExc_TypeError, "Non-list argument.");
            return false;
        }
        maps[i].clear();
        if (!readPlainInts(memberMaps, maps[i])) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Squad keys and times

// Reads an int or a long in 0 .. 2**64 - 1 into value. The parser's "K" would keep only the low
// 64 bits, so that -1 became the key 2**64 - 1 and 2**64 the key 0; out of range is refused
// instead, naming the argument.
bool readUnsigned64(PyObject* object, const char* name, unsigned PY_LONG_LONG& value) {
    if (isSmallInt(object)) {
        const long read = smallIntValue(object);
        if (read >= 0) {
            value = static_cast<unsigned PY_LONG_LONG>(read);
            return true;
        }
        PyErr_Format(PyExc_OverflowError, "%s must be between 0 and 2**64 - 1.", name);
        return false;
    }
    if (!PyLong_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%s must be an integer.", name);
        return false;
    }
    const unsigned PY_LONG_LONG read = PyLong_AsUnsignedLongLong(object);
    if (read == static_cast<unsigned PY_LONG_LONG>(-1) && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_OverflowError, "%s must be between 0 and 2**64 - 1.", name);
        }
        return false;
    }
    value = read;
    return true;
}

// Converters for the parser's "O&".
int readKey(PyObject* object, void* value) {
    return readUnsigned64(object, "key", *static_cast<unsigned PY_LONG_LONG*>(value));
}
int readTime(PyObject* object, void* value) {
    return readUnsigned64(object, "time", *static_cast<unsigned PY_LONG_LONG*>(value));
}

// ---------------------------------------------------------------------------------------------
// RandomMatchmaker

// clang-format off
struct RandomMatchmaker {
    PyObject_HEAD
    // Null only while the object is being built.
    Matchmaker* controller;
};
// clang-format on

// The object's matchmaker if it has the queue, otherwise null with ValueError set: for an unknown
// queue key, or for an object whose construction did not complete (a subclass's __del__ can still
// reach it).
Matchmaker* controllerWithQueue(PyObject* self, int queue) {
    Matchmaker* controller = reinterpret_cast<RandomMatchmaker*>(self)->controller;
    if (controller == nullptr) {
        PyErr_SetString(PyExc_ValueError, "Matchmaker is not initialised.");
        return nullptr;
    }
    if (!controller->checkQueue(queue)) {
        PyErr_SetString(PyExc_ValueError, "Unknown queue key.");
        return nullptr;
    }
    return controller;
}

PyObject* RandomMatchmaker_new(PyTypeObject* type, PyObject* args, PyObject* /*kwds*/) {
    try {
        int seed = 0;
        PyObject* list = nullptr;
        if (!PyArg_ParseTuple(args, "iO", &seed, &list)) return nullptr;
        std::map<int, ConfigTuple> config;
        if (!readConfig(list, config)) return nullptr;
        PyRef self(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        // If this throws, the holder releases the object, whose controller is still null.
        reinterpret_cast<RandomMatchmaker*>(self.get())->controller =
            new Matchmaker(static_cast<unsigned int>(seed), config);
        return self.release();
    } catch (...) {
        return setErrorFromException();
    }
}

void RandomMatchmaker_dealloc(PyObject* self) {
    delete reinterpret_cast<RandomMatchmaker*>(self)->controller;
    // A subclass frees through its own slot.
    Py_TYPE(self)->tp_free(self);
}

PyDoc_STRVAR(RandomMatchmaker_enqueue_doc, "Enqueues squad to the queue.");

PyObject* RandomMatchmaker_enqueue(PyObject* self, PyObject* args) {
    try {
        int queue = 0;
        unsigned PY_LONG_LONG time = 0;
        unsigned PY_LONG_LONG key = 0;
        int level = 0;
        PyObject* types = nullptr;
        PyObject* lastMaps = nullptr;
        // The usual call, six arguments with exact ints, is read here directly; the parser,
        // which costs more than the rest of an enqueue from a script, reads anything else and
        // reports its faults.
        if (PyTuple_CheckExact(args) && PyTuple_GET_SIZE(args) == 6 &&
            exactInt(PyTuple_GET_ITEM(args, 0), queue) &&
            exactInt(PyTuple_GET_ITEM(args, 3), level)) {
            if (!readTime(PyTuple_GET_ITEM(args, 1), &time)) return nullptr;
            if (!readKey(PyTuple_GET_ITEM(args, 2), &key)) return nullptr;
            types = PyTuple_GET_ITEM(args, 4);
            lastMaps = PyTuple_GET_ITEM(args, 5);
        } else if (!PyArg_ParseTuple(args, "iO&O&iOO", &queue, readTime, &time, readKey, &key,
                                     &level, &types, &lastMaps)) {
            return nullptr;
        }
        if (!PyList_Check(types) || !PyList_Check(lastMaps))
            return fail(PyExc_TypeError, "Non-list argument.");
        if (PyList_GET_SIZE(types) == 0) return fail(PyExc_TypeError, "Invalid argument.");
        // Reused from call to call, so that a call allocates only while they grow. No script
        // code runs while they are filled and read (items are read as exact numbers), so no
        // call can start inside another.
        static std::vector<VehType> arguments;
        static std::vector<std::vector<int>> maps;
        arguments.clear();
        if (!readPlainInts(types, arguments)) return nullptr;
        if (!readLastMaps(lastMaps, maps)) return nullptr;

        Matchmaker* controller = controllerWithQueue(self, queue);
        if (controller == nullptr) return nullptr;
        // The core indexes its levels unchecked.
        if (level < 0 || level >= LEVEL_COUNT) return fail(PyExc_ValueError, "Invalid level.");
        // A second entry would count its members twice in the registry and the roster tables.
        if (controller->contains(queue, key))
            return fail(PyExc_ValueError, "Squad is already enqueued.");
        controller->enqueue(queue, time, key, level, arguments, maps);
        Py_RETURN_NONE;
    } catch (...) {
        return setErrorFromException();
    }
}

PyDoc_STRVAR(RandomMatchmaker_dequeue_doc, "Dequeues squad from the queue.");

PyObject* RandomMatchmaker_dequeue(PyObject* self, PyObject* args) {
    try {
        int queue = 0;
        unsigned PY_LONG_LONG key = 0;
        // As in enqueue: the usual call is read directly, anything else by the parser.
        if (PyTuple_CheckExact(args) && PyTuple_GET_SIZE(args) == 2 &&
            exactInt(PyTuple_GET_ITEM(args, 0), queue)) {
            if (!readKey(PyTuple_GET_ITEM(args, 1), &key)) return nullptr;
        } else if (!PyArg_ParseTuple(args, "iO&", &queue, readKey, &key)) {
            return nullptr;
        }
        Matchmaker* controller = controllerWithQueue(self, queue);
        if (controller == nullptr) return nullptr;
        // A squad that is not waiting is no error.
        controller->dequeue(queue, key);
        Py_RETURN_NONE;
    } catch (...) {
        return setErrorFromException();
    }
}

PyDoc_STRVAR(RandomMatchmaker_formteams_doc, "Attempts to form teams to the random battle.");

// A new tuple of the keys, each the integer of its unsigned 64-bit value.
PyObject* keysTuple(const std::vector<SquadKey>& keys) {
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(keys.size())));
    if (!tuple) return nullptr;
    for (size_t i = 0; i < keys.size(); ++i) {
        PyObject* key = Py_BuildValue("K", static_cast<unsigned PY_LONG_LONG>(keys[i]));
        if (key == nullptr) return nullptr;  // the holder releases what was built
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), key);
    }
    return tuple.release();
}

// Reads the (queue, time) arguments of formteams and stats; the object's matchmaker, or null
// with the error set.
Matchmaker* queueAndTime(PyObject* self, PyObject* args, int& queue, unsigned PY_LONG_LONG& time) {
    if (!PyArg_ParseTuple(args, "iO&", &queue, readTime, &time)) return nullptr;
    return controllerWithQueue(self, queue);
}

PyObject* RandomMatchmaker_formteams(PyObject* self, PyObject* args) {
    try {
        int queue = 0;
        unsigned PY_LONG_LONG time = 0;
        Matchmaker* controller = queueAndTime(self, args, queue, time);
        if (controller == nullptr) return nullptr;
        Teams result;
        const MapKey map = controller->formteams(queue, time, result);
        PyRef teamA(keysTuple(result.first));
        if (!teamA) return nullptr;
        PyRef teamB(keysTuple(result.second));
        if (!teamB) return nullptr;
        PyRef mapObject(Py_BuildValue("i", map));
        if (!mapObject) return nullptr;
        PyObject* tuple = PyTuple_New(3);
        if (tuple == nullptr) return nullptr;
        // The tuple takes over all three references.
        PyTuple_SET_ITEM(tuple, 0, mapObject.release());
        PyTuple_SET_ITEM(tuple, 1, teamA.release());
        PyTuple_SET_ITEM(tuple, 2, teamB.release());
        return tuple;
    } catch (...) {
        return setErrorFromException();
    }
}

PyDoc_STRVAR(RandomMatchmaker_stats_doc,
             "Reports what the queue holds at the given time and what its last formteams call "
             "did, as a new dict.");

// A new integer: a plain int on Python 2 where the value fits one.
PyObject* newInteger(uint64_t value) {
    if (value <= static_cast<uint64_t>(LONG_MAX)) return newPlainInt(static_cast<long>(value));
    return PyLong_FromUnsignedLongLong(value);
}

// A new list of the five counts of a TeamState.
PyObject* countsList(const TeamState& counts) {
    PyRef list(PyList_New(CONDITION_COUNT));
    if (!list) return nullptr;
    for (int i = 0; i < CONDITION_COUNT; ++i) {
        PyObject* count = newPlainInt(counts[i]);
        if (count == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i, count);
    }
    return list.release();
}

// Sets dict[name] = value and releases value; false with the error set when either fails.
bool setItem(PyObject* dict, const char* name, PyObject* value) {
    PyRef held(value);
    return held && PyDict_SetItemString(dict, name, held.get()) == 0;
}

PyObject* levelDict(const QueueStats::Level& level) {
    PyRef squads(PyDict_New());
    if (!squads) return nullptr;
    for (const auto& [members, count] : level.squads) {
        PyRef size(newInteger(members));
        PyRef number(newInteger(count));
        if (!size || !number || PyDict_SetItem(squads.get(), size.get(), number.get()) != 0)
            return nullptr;
    }
    PyRef dict(PyDict_New());
    if (!dict || !setItem(dict.get(), "players", newInteger(level.players)) ||
        !setItem(dict.get(), "singles", countsList(level.singles)) ||
        !setItem(dict.get(), "squads", squads.release()) ||
        !setItem(dict.get(), "oldest", newInteger(level.oldest)))
        return nullptr;
    return dict.release();
}

// None, or the integer of value.
// A new reference to None.
PyObject* newNone() {
    Py_INCREF(Py_None);
    return Py_None;
}

PyObject* integerOrNone(bool present, uint64_t value) {
    return present ? newInteger(value) : newNone();
}

PyObject* lastDict(const FormationReport& last) {
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    PyRef reason(last.reason == FormationReport::Reason::none
                     ? newNone()
                     : Py_BuildValue("s", last.reasonText().c_str()));
    if (!reason || !setItem(dict.get(), "time", newInteger(last.time)) ||
        !setItem(dict.get(), "seconds", PyFloat_FromDouble(last.seconds)) ||
        !setItem(dict.get(), "tried", newInteger(last.tried)) ||
        !setItem(dict.get(), "formed",
                 integerOrNone(last.formed >= 0, static_cast<uint64_t>(last.formed))) ||
        !setItem(dict.get(), "budget", PyBool_FromLong(last.budget)) ||
        !setItem(dict.get(), "penalty",
                 integerOrNone(last.penalty >= 0, static_cast<uint64_t>(last.penalty))) ||
        !setItem(dict.get(), "visited", newInteger(last.visited)) ||
        !setItem(dict.get(), "reason", reason.release()))
        return nullptr;
    return dict.release();
}

PyObject* statsDict(const QueueStats& stats) {
    PyRef levels(PyList_New(LEVEL_COUNT));
    if (!levels) return nullptr;
    for (int level = 0; level < LEVEL_COUNT; ++level) {
        PyObject* item = levelDict(stats.levels[level]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(levels.get(), level, item);
    }
    PyRef allowances(PyDict_New());
    if (!allowances || !setItem(allowances.get(), "total", countsList(stats.totalAllowance)) ||
        !setItem(allowances.get(), "level", countsList(stats.levelAllowance)))
        return nullptr;
    PyRef last(stats.called ? lastDict(stats.last) : newNone());
    if (!last) return nullptr;
    PyRef dict(PyDict_New());
    if (!dict || !setItem(dict.get(), "players", newInteger(stats.players)) ||
        !setItem(dict.get(), "entries", newInteger(stats.entries)) ||
        !setItem(dict.get(), "levels", levels.release()) ||
        !setItem(dict.get(), "wait", newInteger(stats.wait)) ||
        !setItem(dict.get(), "allowances", allowances.release()) ||
        !setItem(dict.get(), "layouts", newInteger(stats.layouts)) ||
        !setItem(dict.get(), "last", last.release()))
        return nullptr;
    return dict.release();
}

PyObject* RandomMatchmaker_stats(PyObject* self, PyObject* args) {
    try {
        int queue = 0;
        unsigned PY_LONG_LONG time = 0;
        // The arguments and errors of formteams.
        Matchmaker* controller = queueAndTime(self, args, queue, time);
        if (controller == nullptr) return nullptr;
        return statsDict(controller->stats(queue, time));
    } catch (...) {
        return setErrorFromException();
    }
}

PyMethodDef RandomMatchmaker_methods[] = {
    {"enqueue", RandomMatchmaker_enqueue, METH_VARARGS, RandomMatchmaker_enqueue_doc},
    {"dequeue", RandomMatchmaker_dequeue, METH_VARARGS, RandomMatchmaker_dequeue_doc},
    {"formteams", RandomMatchmaker_formteams, METH_VARARGS, RandomMatchmaker_formteams_doc},
    {"stats", RandomMatchmaker_stats, METH_VARARGS, RandomMatchmaker_stats_doc},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyMemberDef RandomMatchmaker_members[] = {
    {nullptr, 0, 0, 0, nullptr} /* sentinel */
};

PyGetSetDef RandomMatchmaker_getseters[] = {
    {nullptr, nullptr, nullptr, nullptr, nullptr} /* sentinel */
};

PyDoc_STRVAR(RandomMatchmaker_doc, "Random matchmaker.");

// The type object is filled by field name when the module is initialised: the slots a new
// interpreter version adds stay empty without any change here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject RandomMatchmakerType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

// Fills and readies the type; false with the error set on failure.
bool readyRandomMatchmakerType() {
    PyTypeObject& type = RandomMatchmakerType;
    type.tp_name = "kelvane.RandomMatchmaker";
    type.tp_basicsize = sizeof(RandomMatchmaker);
    type.tp_dealloc = RandomMatchmaker_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = RandomMatchmaker_doc;
    type.tp_methods = RandomMatchmaker_methods;
    type.tp_members = RandomMatchmaker_members;
    type.tp_getset = RandomMatchmaker_getseters;
    type.tp_new = RandomMatchmaker_new;
    return PyType_Ready(&type) == 0;
}

// Adds the type and the version to the module; false with the error set on failure.
bool addModuleObjects(PyObject* module) {
    PyRef type = PyRef::borrow(reinterpret_cast<PyObject*>(&RandomMatchmakerType));
    // The module takes the reference only when the call succeeds.
    if (PyModule_AddObject(module, "RandomMatchmaker", type.get()) != 0) return false;
    type.release();
    return PyModule_AddStringConstant(module, "__version__", MODULE_VERSION) == 0;
}

// ---------------------------------------------------------------------------------------------
// Module

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyDoc_STRVAR(kelvane_doc, "Random battles matchmaker.");

}  // namespace

// The init function is the only symbol the module exports (everything else is built hidden).

#if PY_MAJOR_VERSION >= 3

namespace {

// clang-format off
PyModuleDef kelvane_module = {
    PyModuleDef_HEAD_INIT,
    "kelvane",       /* m_name */
    kelvane_doc,     /* m_doc */
    -1,              /* m_size: the module keeps no state of its own */
    module_methods,  /* m_methods */
    nullptr,         /* m_slots */
    nullptr,         /* m_traverse */
    nullptr,         /* m_clear */
    nullptr,         /* m_free */
};
// clang-format on

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_kelvane() {
    if (!readyRandomMatchmakerType()) return nullptr;
    PyRef module(PyModule_Create(&kelvane_module));
    if (!module || !addModuleObjects(module.get())) return nullptr;
    return module.release();
}

#else

extern "C" __attribute__((visibility("default"))) void initkelvane() {
    if (!readyRandomMatchmakerType()) return;
    // Borrowed: the interpreter's module table owns the module.
    PyObject* module =
        Py_InitModule4("kelvane", module_methods, kelvane_doc, nullptr, PYTHON_API_VERSION);
    if (module != nullptr) addModuleObjects(module);
}

#endif
