#include "python/Bindings.h"

#include "frontend/MeterIds.h"
#include "python/MeterSession.h"
#include "record/Record.h"
#include "record/RecordText.h"
#include "util/TextFormat.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

// After pybind11, which brings Python.h first.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cxxabi.h>
#include <datetime.h>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#ifndef ZELMORA_VERSION
#define ZELMORA_VERSION "0"
#endif

namespace py = pybind11;

namespace zelmora {

namespace {

using std::chrono::steady_clock;

// The exception types, made once per process and kept for its life: a
// static Python object would be released after the interpreter is gone.
PyObject* g_meterNotFound = nullptr;
PyObject* g_meterLost = nullptr;

// Thrown by the bindings for a lost meter, raised as zelmora.MeterLost.
class MeterLostError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Takes the GIL back after a wait. Once the interpreter's end has begun,
// Python ends a daemon thread that asks for the GIL by unwinding its stack
// (pthread_exit). Unwound from a destructor, as py::gil_scoped_release
// takes it back, that is std::terminate and the process aborts; unwound
// through the bindings, it lets go of Python objects without the GIL while
// the interpreter is torn down. The thread sleeps instead, holding nothing,
// until the process ends.
void RetakeGil(PyThreadState* state) {
    try {
        PyEval_RestoreThread(state);
    } catch (const abi::__forced_unwind&) {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::hours(1));
        }
    }
}

// Runs `work` with the GIL let go (see RetakeGil).
template <typename Work>
auto WithoutGil(Work&& work) -> decltype(work()) {
    using Result = decltype(work());
    PyThreadState* const state = PyEval_SaveThread();
    std::exception_ptr error;
    [[maybe_unused]] std::conditional_t<std::is_void_v<Result>, bool, std::optional<Result>>
        result{};
    try {
        if constexpr (std::is_void_v<Result>) {
            work();
        } else {
            result.emplace(work());
        }
    } catch (const abi::__forced_unwind&) {
        throw; // the thread is being ended: it must go on unwinding
    } catch (...) {
        error = std::current_exception();
    }
    RetakeGil(state);
    if (error) {
        std::rethrow_exception(error);
    }
    if constexpr (!std::is_void_v<Result>) {
        return std::move(*result);
    }
}

// Ctrl-C: Python's handler only notes the signal; a wait asks for it
// between slices, with the GIL. The KeyboardInterrupt it raises stays set
// for the caller.
bool PythonInterrupted() {
    py::gil_scoped_acquire gil;
    return PyErr_CheckSignals() != 0;
}

// The interpreter's main thread, the one signals reach: set when the
// module is made, and in a forked child to the thread that forked.
std::atomic<unsigned long> g_mainThread = 0;

// What a wait on this thread asks between its slices: signals reach only
// the main thread, so another thread's wait asks nothing and never takes
// the GIL before it ends.
CMeterSession::Interruption InterruptionHere() {
    if (PyThread_get_thread_ident() == g_mainThread.load()) {
        return &PythonInterrupted;
    }
    return nullptr;
}

// A whole number a script gave: an int, or what stands for one (NumPy's
// integers), but not a bool, which Python counts as an int. Its decimal
// text as well, for one too large for C++, which the limits then refuse.
struct WholeNumber {
    std::optional<long long> value;
    std::string decimal;
};

WholeNumber WholeNumberArgument(py::handle object, const char* name) {
    if (PyBool_Check(object.ptr())) {
        throw py::type_error(std::string(name) + " takes a whole number, not a bool");
    }
    const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(object.ptr()));
    if (!index) {
        PyErr_Clear();
        throw py::type_error(std::string(name) + " takes a whole number, not " +
                             Py_TYPE(object.ptr())->tp_name);
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred() != nullptr) {
        throw py::error_already_set();
    }
    if (overflow != 0) {
        return {std::nullopt, py::str(index)};
    }
    return {value, Format("%lld", value)};
}

// Seconds a script gave: any real number but a bool. One too large for a
// double is out of every limit, as infinity is.
double SecondsArgument(py::handle object, const char* name) {
    if (PyBool_Check(object.ptr())) {
        throw py::type_error(std::string(name) + " takes seconds, not a bool");
    }
    const double value = PyFloat_AsDouble(object.ptr());
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        const bool negative = PyObject_RichCompareBool(object.ptr(), py::int_(0).ptr(), Py_LT) == 1;
        return negative ? -std::numeric_limits<double>::infinity()
                        : std::numeric_limits<double>::infinity();
    }
    return value;
}

AppOptions ScriptMeterOptionsOf(py::handle simulate, std::optional<bool> real,
                                const std::vector<std::string>& usbIds) {
    const WholeNumber count = WholeNumberArgument(simulate, "simulate");
    if (!count.value) {
        throw std::invalid_argument(Format("simulate takes a count from 0 to %d, not %s",
                                           CDeviceLink::kMaxMeters, count.decimal.c_str()));
    }
    return ScriptMeterOptions(*count.value, real, usbIds);
}

// trace= and replay= as --trace and --replay; an empty path is a mistake,
// not "off".
void ApplyTraceArguments(AppOptions& options, const std::optional<std::string>& trace,
                         const std::optional<std::string>& replay, bool replayPace) {
    for (const auto& [name, path] : {std::pair{"trace", &trace}, std::pair{"replay", &replay}}) {
        if (*path && (*path)->empty()) {
            throw std::invalid_argument(std::string(name) + " takes a file name, not ''");
        }
    }
    options.traceFile = trace.value_or("");
    options.replayFile = replay.value_or("");
    options.replayPace = replayPace;
    options.program = "zelmora (Python)";
}

// The samples' power is in watts, whatever the probe family reads in.
constexpr RecordUnit kUnit = RecordUnit::W;

double SecondsOf(std::uint64_t ms) {
    return static_cast<double>(ms) / 1000;
}

std::chrono::milliseconds::rep MillisecondsSinceEpoch(std::chrono::system_clock::time_point t) {
    return std::chrono::floor<std::chrono::milliseconds>(t).time_since_epoch().count();
}

// A timezone-aware UTC datetime, to the millisecond as in the records.
py::object UtcDateTime(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
        if (PyDateTimeAPI == nullptr) {
            throw py::error_already_set();
        }
    }
    const auto ms = floor<milliseconds>(time);
    const auto day = floor<days>(ms);
    const year_month_day date(day);
    const hh_mm_ss clock(ms - day);
    PyObject* made = PyDateTimeAPI->DateTime_FromDateAndTime(
        static_cast<int>(date.year()), static_cast<int>(static_cast<unsigned>(date.month())),
        static_cast<int>(static_cast<unsigned>(date.day())),
        static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
        static_cast<int>(clock.seconds().count()),
        static_cast<int>(clock.subseconds().count()) * 1000, PyDateTime_TimeZone_UTC,
        PyDateTimeAPI->DateTimeType);
    if (made == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(made);
}

// Warns of the samples dropped since the last warning: they were not
// taken within the queue's ten minutes.
void WarnOfLostSamples(CMeterSession& session) {
    const std::uint64_t lost = session.TakeUntoldLostSampleCount();
    if (lost == 0) {
        return;
    }
    const std::string message =
        Format("meter %s: %llu samples lost: they were not taken in time (the queue holds %zu)",
               session.Id().c_str(), static_cast<unsigned long long>(lost),
               CDeviceLink::kSampleQueueCapacity);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) != 0) {
        throw py::error_already_set();
    }
}

void Warn(const std::vector<std::string>& problems) {
    for (const std::string& problem : problems) {
        if (PyErr_WarnEx(PyExc_RuntimeWarning, problem.c_str(), 1) != 0) {
            throw py::error_already_set();
        }
    }
}

std::string LostMessage(const CMeterSession& session) {
    return "meter " + session.Id() + " was lost: it stopped answering";
}

// What a wait that ended without a sample means to the caller.
[[noreturn]] void RaiseOutcome(const CMeterSession& session, CMeterSession::Outcome outcome) {
    switch (outcome) {
    case CMeterSession::Outcome::Interrupted:
        throw py::error_already_set();
    case CMeterSession::Outcome::Lost:
        throw MeterLostError(LostMessage(session));
    case CMeterSession::Outcome::Closed:
        throw MeterClosedError();
    case CMeterSession::Outcome::TimedOut:
    case CMeterSession::Outcome::Sample:
        break;
    }
    PyErr_SetString(PyExc_TimeoutError,
                    ("no sample from meter " + session.Id() + " in time").c_str());
    throw py::error_already_set();
}

std::optional<steady_clock::time_point> DeadlineIn(py::handle object, const char* name) {
    if (object.is_none()) {
        return std::nullopt;
    }
    const double seconds = SecondsArgument(object, name);
    if (!std::isfinite(seconds) || seconds < 0) {
        std::string text;
        AppendNumber(text, seconds);
        throw std::invalid_argument(std::string(name) + " takes seconds from 0 on, not " + text);
    }
    // Far enough for any wait, near enough not to overflow the clock.
    const double limit = 1e9;
    return steady_clock::now() + std::chrono::duration_cast<steady_clock::duration>(
                                     std::chrono::duration<double>(std::min(seconds, limit)));
}

Record RecordOf(const CMeterSession& session, const MeterSample& sample) {
    return MakeRecord(sample, session.Id(), kUnit);
}

// --- Statistics --------------------------------------------------------------

struct ScriptStatistics {
    double mean = 0;
    double std = 0;
    double stdPercent = 0;
    double min = 0;
    double max = 0;
    std::int64_t count = 0;
    double duration = 0;
    // Over the averaged powers that stream() and collect() hand out.
    double averagedMean = 0;
    double averagedStd = 0;
    double averagedStdPercent = 0;
    double averagedMin = 0;
    double averagedMax = 0;
    std::int64_t averagedCount = 0;
};

double InWatts(double value, PowerUnit unit) {
    const std::optional<double> watts = ConvertPower(value, unit, kUnit);
    return watts && !std::isnan(value) ? *watts : std::numeric_limits<double>::quiet_NaN();
}

ScriptStatistics StatisticsOf(CMeterSession& session) {
    const CMeterSession::Statistics both = session.GetStatistics();
    const CDeviceLink::Statistics& s = both.window;
    const CMeterSession::AveragedStatistics& a = both.averaged;
    return {.mean = InWatts(s.mean, s.unit),
            .std = InWatts(s.stdDev, s.unit),
            .stdPercent = s.stdDevPercent,
            .min = InWatts(s.min, s.unit),
            .max = InWatts(s.max, s.unit),
            .count = s.count,
            .duration = SecondsOf(s.elapsedMs),
            .averagedMean = InWatts(a.mean, s.unit),
            .averagedStd = InWatts(a.stdDev, s.unit),
            .averagedStdPercent = a.stdDevPercent,
            .averagedMin = InWatts(a.min, s.unit),
            .averagedMax = InWatts(a.max, s.unit),
            .averagedCount = a.count};
}

// --- The stream --------------------------------------------------------------

class SampleStream {
public:
    SampleStream(std::shared_ptr<CMeterSession> session, std::optional<std::int64_t> count,
                 std::optional<steady_clock::time_point> deadline)
        : m_session(std::move(session)), m_remaining(count), m_deadline(deadline) {}

    Record Next() {
        if (m_done || m_remaining == 0) {
            throw py::stop_iteration();
        }
        const CMeterSession::Interruption interruption = InterruptionHere();
        const CMeterSession::Next next =
            WithoutGil([&] { return m_session->TakeNext(m_deadline, interruption); });
        WarnOfLostSamples(*m_session);
        switch (next.outcome) {
        case CMeterSession::Outcome::Sample:
            if (m_remaining) {
                --*m_remaining;
            }
            return RecordOf(*m_session, next.sample);
        case CMeterSession::Outcome::Interrupted:
            // The samples not handed out wait for the next reader.
            throw py::error_already_set();
        case CMeterSession::Outcome::TimedOut:
        case CMeterSession::Outcome::Closed:
            // The duration is over, or the meter was closed meanwhile.
            m_done = true;
            throw py::stop_iteration();
        case CMeterSession::Outcome::Lost:
            m_done = true;
            throw MeterLostError(LostMessage(*m_session));
        }
        throw py::stop_iteration();
    }

private:
    std::shared_ptr<CMeterSession> m_session;
    std::optional<std::int64_t> m_remaining;
    std::optional<steady_clock::time_point> m_deadline;
    bool m_done = false;
};

// --- The structured array ----------------------------------------------------

// One row of collect's array, as its dtype lays it out.
constexpr std::size_t kStatusLength = 13; // "no_conversion"
struct CollectedRow {
    std::int64_t time; // ms since the epoch, UTC
    double elapsed;
    std::int64_t count;
    double power;
    char32_t status[kStatusLength];
    std::int32_t range;
    std::int32_t wavelength;
};

py::dtype MakeCollectedDtype() {
    py::dict layout;
    layout["names"] =
        py::make_tuple("time", "elapsed", "count", "power", "status", "range", "wavelength");
    layout["formats"] = py::make_tuple("M8[ms]", "<f8", "<i8", "<f8", "<U13", "<i4", "<i4");
    layout["offsets"] =
        py::make_tuple(offsetof(CollectedRow, time), offsetof(CollectedRow, elapsed),
                       offsetof(CollectedRow, count), offsetof(CollectedRow, power),
                       offsetof(CollectedRow, status), offsetof(CollectedRow, range),
                       offsetof(CollectedRow, wavelength));
    layout["itemsize"] = sizeof(CollectedRow);
    return py::dtype::from_args(layout);
}

// Made when the module is imported (or, without NumPy then, at the first
// collect) and kept for the process's life: NumPy runs Python code to make
// it, and a daemon thread that runs Python code at the interpreter's end is
// ended there, letting go of the objects on its stack without the GIL (see
// RetakeGil). No static's guard: it would be held while the GIL is let go.
const py::dtype* g_collectedDtype = nullptr;

const py::dtype& CollectedDtype() {
    if (g_collectedDtype == nullptr) {
        py::dtype made = MakeCollectedDtype();
        if (g_collectedDtype == nullptr) {
            g_collectedDtype = new py::dtype(std::move(made));
        }
    }
    return *g_collectedDtype;
}

py::array ToArray(const CMeterSession& session, const py::dtype& dtype,
                  const std::vector<MeterSample>& samples) {
    py::array array(dtype, std::vector<py::ssize_t>{static_cast<py::ssize_t>(samples.size())});
    auto* rows = static_cast<std::byte*>(array.mutable_data());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const Record record = RecordOf(session, samples[i]);
        CollectedRow row{};
        row.time = MillisecondsSinceEpoch(record.utcTime);
        row.elapsed = SecondsOf(record.elapsedMs);
        row.count = record.count;
        row.power = record.power.value_or(std::numeric_limits<double>::quiet_NaN());
        const std::string_view status = StatusName(record.status);
        for (std::size_t c = 0; c < status.size() && c < kStatusLength; ++c) {
            row.status[c] = static_cast<char32_t>(status[c]);
        }
        row.range = record.range;
        row.wavelength = record.wavelength;
        std::memcpy(rows + i * sizeof(CollectedRow), &row, sizeof row);
    }
    return array;
}

py::array Collect(CMeterSession& session, py::handle n) {
    const auto count =
        static_cast<std::size_t>(CheckedCount(WholeNumberArgument(n, "count").decimal));
    // NumPy first: a missing one is told before the samples are taken.
    const py::dtype& dtype = CollectedDtype();
    const CMeterSession::Interruption interruption = InterruptionHere();
    std::vector<MeterSample> taken;
    taken.reserve(std::min<std::size_t>(count, CDeviceLink::kSampleQueueCapacity));
    CMeterSession::Outcome outcome = CMeterSession::Outcome::Sample;
    WithoutGil([&] {
        while (taken.size() < count) {
            CMeterSession::Next next = session.TakeNext(std::nullopt, interruption);
            outcome = next.outcome;
            if (outcome != CMeterSession::Outcome::Sample) {
                break;
            }
            taken.push_back(std::move(next.sample));
        }
        if (taken.size() < count) {
            // A collect that does not complete loses nothing: the next
            // reader gets what it took.
            session.PutBack(std::move(taken));
        }
    });
    WarnOfLostSamples(session);
    if (outcome != CMeterSession::Outcome::Sample) {
        if (outcome == CMeterSession::Outcome::Lost) {
            throw MeterLostError(
                LostMessage(session) +
                Format(" before the %zu samples asked for; the samples taken wait for stream()",
                       count));
        }
        RaiseOutcome(session, outcome);
    }
    return ToArray(session, dtype, taken);
}

void TranslateExceptions(std::exception_ptr error) {
    try {
        if (error) {
            std::rethrow_exception(error);
        }
    } catch (const MeterNotFoundError& e) {
        PyErr_SetString(g_meterNotFound, e.what());
    } catch (const MeterLostError& e) {
        PyErr_SetString(g_meterLost, e.what());
    } catch (const MeterStartError& e) {
        PyErr_SetString(PyExc_OSError, e.what());
    } catch (const MeterClosedError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const MeterForkedError& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
}

// --- Docstrings --------------------------------------------------------------

constexpr const char* kModuleDoc =
    R"(Read USB laser power meters from Python: list them, read single samples,
stream every sample as it comes and collect runs into NumPy arrays.

    import zelmora
    print(zelmora.list_meters(simulate=1))
    with zelmora.open("210400101", simulate=1) as meter:
        data = meter.collect(100)
        print(data["power"].mean(), meter.statistics.std_percent)

Powers are in watts whatever the probe family reads in; times are UTC.
Simulated meters (simulate=N) have the ids 210400101, 210400102, ...)";

constexpr const char* kListDoc =
    R"(The meters present, in device order.

simulate: how many simulated meters to add (0 to 15), of the probe
    families KV, RM and ZN in turn.
real: whether to list the real meters; by default they are listed unless
    simulated meters are asked for.
usb_ids: more USB ids ("vvvv:pppp") to take for meters, beside the match
    list's.
trace: a file to record every request to the meters and its answer in
    (docs/trace-format.md), for a bug report.
replay: a trace to play back in place of the meters; replay_pace=True
    plays it at the pace it was recorded.

What keeps real meters out of reach is told as a RuntimeWarning.)";

constexpr const char* kOpenDoc =
    R"(Starts the meter with this id and returns it; use it in a `with` block,
or close() it: closing stops the meter, and so does garbage collection.

interval: seconds between two samples, 0.1 to 86400 (whole milliseconds).
averaging: the power of a sample is the mean of the last N readings
    (1 to 20000).
simulate, real, usb_ids, trace, replay, replay_pace: which meters are
    reached and how, as for list_meters().

Raises MeterNotFound when no meter has the id, OSError when it does not
start or this process has it open already (a close() under way on another
thread is waited for), ValueError for a value out of its limits, TypeError
for one of the wrong type (a bool is not taken for a number).)";

constexpr const char* kReadDoc =
    R"(The newest sample, once the meter has taken one after this call, so that
it measures what happens now (after a motor step, say). It only looks:
the samples stream() and collect() hand out stay theirs, every one, and
a thread waiting in them does not hold it up, nor it them.

Waits up to `timeout` seconds (None: until a sample comes) and raises
TimeoutError after it, MeterLost when the meter stops answering.)";

constexpr const char* kStreamDoc =
    R"(Every sample in the order taken, none twice: first those not yet handed
out, then each as it comes. Ends after `count` samples or when `duration`
seconds from now are over (a sample taken later waits for the next
reader), or when the meter is closed; raises MeterLost once every sample
the meter sent was handed out. Ctrl-C raises KeyboardInterrupt and the
samples not handed out keep waiting. The meter's queue keeps ten minutes
of samples; those not taken by then are lost, with a RuntimeWarning.
A thread waiting here keeps a non-daemon thread alive: close the meter
(from any thread) to end the stream.)";

constexpr const char* kCollectDoc =
    R"(The next n samples, as stream() hands them out, in a NumPy structured
array with the fields:

    time        datetime64[ms], UTC
    elapsed     float64, seconds of collection (nominal intervals)
    count       int64, counted samples before this one
    power       float64, watts (NaN when there is no value)
    status      str: "ok", "over_range" or "no_conversion"
    range       int32, the meter's range index
    wavelength  int32, nanometres

When the meter is lost (MeterLost) or Ctrl-C comes first, the samples
taken wait for the next stream() or collect().)";

} // namespace

MeterAccess& ModuleMeterAccess() {
    // Never destroyed: a daemon thread may still list or open meters while
    // the process's statics are torn down.
    static MeterAccess& access = *new MeterAccess(MeterAccess::Default());
    return access;
}

std::shared_ptr<CMeterSession> SessionOf(py::handle meter) {
    return meter.cast<std::shared_ptr<CMeterSession>>();
}

void DefineZelmoraModule(py::module_& module) {
    module.doc() = kModuleDoc;
    module.attr("__version__") = ZELMORA_VERSION;

    g_mainThread =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    static std::once_flag forkHandler;
    std::call_once(forkHandler, [] {
        pthread_atfork(nullptr, nullptr, [] { g_mainThread = PyThread_get_thread_ident(); });
    });

    if (g_meterNotFound == nullptr) {
        g_meterNotFound =
            PyErr_NewExceptionWithDoc("zelmora.MeterNotFound", "No meter with this id is present.",
                                      PyExc_LookupError, nullptr);
        g_meterLost = PyErr_NewExceptionWithDoc(
            "zelmora.MeterLost",
            "The meter stopped answering (it was unplugged, or its USB link failed).",
            PyExc_OSError, nullptr);
        if (g_meterNotFound == nullptr || g_meterLost == nullptr) {
            throw py::error_already_set();
        }
    }
    try {
        (void)CollectedDtype();
    } catch (const py::error_already_set& e) {
        // No NumPy: everything but collect() works, and collect() says so.
        if (!e.matches(PyExc_ImportError)) {
            throw;
        }
    }
    module.attr("MeterNotFound") = py::handle(g_meterNotFound);
    module.attr("MeterLost") = py::handle(g_meterLost);
    py::register_exception_translator(&TranslateExceptions);

    py::class_<MeterEntry>(module, "MeterInfo", "A meter present: its id, probe and where it sits.")
        .def_readonly("id", &MeterEntry::id, "The nine-character meter id.")
        .def_readonly("family", &MeterEntry::family, "The probe family: KV, RM or ZN.")
        .def_readonly("model", &MeterEntry::model, "The probe model, such as KV50.")
        .def_readonly("backend", &MeterEntry::backend,
                      "What serves it: libusb, simulated or driver.")
        .def_readonly("port", &MeterEntry::port, "Its USB bus and port, such as 1-3.")
        .def("__repr__", [](const MeterEntry& e) {
            return "MeterInfo(id='" + e.id + "', family='" + e.family + "', model='" + e.model +
                   "', backend='" + e.backend + "', port='" + e.port + "')";
        });

    py::class_<Record>(module, "Sample", "One sample of a meter.")
        .def_property_readonly(
            "time", [](const Record& r) { return UtcDateTime(r.utcTime); },
            "When it was taken: a timezone-aware UTC datetime, to the millisecond.")
        .def_property_readonly(
            "elapsed", [](const Record& r) { return SecondsOf(r.elapsedMs); },
            "Seconds of collection, in nominal intervals, up to this sample.")
        .def_readonly("meter", &Record::meter, "The meter's id.")
        .def_readonly("count", &Record::count,
                      "How many samples the collection counted before this one.")
        .def_readonly("power", &Record::power,
                      "The power in watts (averaged as set), or None for no_conversion.")
        .def_property_readonly(
            "status", [](const Record& r) { return std::string(StatusName(r.status)); },
            "ok, over_range (at or above the range's limit; not counted) or "
            "no_conversion (a range the meter's tables do not know: no power).")
        .def_readonly("range", &Record::range, "The meter's range index.")
        .def_readonly("wavelength", &Record::wavelength, "The wavelength set, in nm.")
        .def("__repr__", [](const Record& r) {
            std::string text = "Sample(time=" + FormatUtcTime(r.utcTime) + ", meter='" + r.meter +
                               "', count=" + std::to_string(r.count) + ", power=";
            if (r.power) {
                AppendNumber(text, *r.power);
            } else {
                text += "None";
            }
            return text + ", status='" + std::string(StatusName(r.status)) + "')";
        });

    py::class_<ScriptStatistics>(module, "Statistics",
                                 "The statistics of a meter's collection since it was opened "
                                 "or reset. mean to duration are the window's: over the counted "
                                 "samples' unaveraged readings. With averaging above 1 the "
                                 "powers that stream() and collect() hand out are averaged, and "
                                 "spread less: averaged_* are over those.")
        .def_readonly("mean", &ScriptStatistics::mean, "Mean power, W (NaN before a sample).")
        .def_readonly("std", &ScriptStatistics::std, "Standard deviation, W.")
        .def_readonly("std_percent", &ScriptStatistics::stdPercent,
                      "Standard deviation in percent of the mean (0 for a mean of 0).")
        .def_readonly("min", &ScriptStatistics::min, "Lowest power, W.")
        .def_readonly("max", &ScriptStatistics::max, "Highest power, W.")
        .def_readonly("count", &ScriptStatistics::count, "Counted samples.")
        .def_readonly("duration", &ScriptStatistics::duration,
                      "Seconds of collection, in nominal intervals.")
        .def_readonly("averaged_mean", &ScriptStatistics::averagedMean,
                      "Mean of the powers handed out (averaged as set), W.")
        .def_readonly("averaged_std", &ScriptStatistics::averagedStd,
                      "Standard deviation of the powers handed out, W.")
        .def_readonly("averaged_std_percent", &ScriptStatistics::averagedStdPercent,
                      "averaged_std in percent of averaged_mean (0 for a mean of 0).")
        .def_readonly("averaged_min", &ScriptStatistics::averagedMin, "Lowest power handed out, W.")
        .def_readonly("averaged_max", &ScriptStatistics::averagedMax,
                      "Highest power handed out, W.")
        .def_readonly("averaged_count", &ScriptStatistics::averagedCount,
                      "Samples with a power (status ok) these are over.")
        .def("__repr__", [](const ScriptStatistics& s) {
            std::string text = "Statistics(mean=";
            AppendNumber(text, s.mean);
            text += ", std_percent=";
            AppendNumber(text, s.stdPercent);
            text += ", count=" + std::to_string(s.count) + ", averaged_std_percent=";
            AppendNumber(text, s.averagedStdPercent);
            return text + ")";
        });

    py::class_<SampleStream>(module, "SampleStream", "The samples of Meter.stream().")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &SampleStream::Next);

    py::class_<CMeterSession, std::shared_ptr<CMeterSession>>(
        module, "Meter", "An open meter (zelmora.open()). Close it, or use it in a with block.")
        .def_property_readonly("id", &CMeterSession::Id, "The meter id.")
        .def_property_readonly("family", &CMeterSession::Family, "The probe family.")
        .def_property_readonly("model", &CMeterSession::Model, "The probe model.")
        .def_property_readonly("closed", &CMeterSession::IsClosed, "Whether it was closed.")
        .def_property_readonly(
            "interval", [](const CMeterSession& s) { return SecondsOf(s.IntervalMs()); },
            "Seconds between two samples.")
        .def_property_readonly("averaging", &CMeterSession::Averaging,
                               "How many readings a sample's power averages.")
        .def_property_readonly("lost_samples", &CMeterSession::GetLostSampleCount,
                               "Samples the meter's queue dropped because they were not taken "
                               "within ten minutes.")
        .def(
            "read",
            [](CMeterSession& s, py::handle timeout) {
                const auto deadline = DeadlineIn(timeout, "timeout");
                const CMeterSession::Interruption interruption = InterruptionHere();
                const CMeterSession::Next next =
                    WithoutGil([&] { return s.ReadFresh(deadline, interruption); });
                if (next.outcome != CMeterSession::Outcome::Sample) {
                    RaiseOutcome(s, next.outcome);
                }
                return RecordOf(s, next.sample);
            },
            py::arg("timeout") = py::none(), kReadDoc)
        .def(
            "stream",
            [](const std::shared_ptr<CMeterSession>& s, py::handle count, py::handle duration) {
                s->CheckOpen();
                std::optional<std::int64_t> checkedCount;
                if (!count.is_none()) {
                    checkedCount = CheckedCount(WholeNumberArgument(count, "count").decimal);
                }
                std::optional<steady_clock::time_point> deadline;
                if (!duration.is_none()) {
                    deadline = steady_clock::now() +
                               DurationFromSeconds(SecondsArgument(duration, "duration"));
                }
                return SampleStream(s, checkedCount, deadline);
            },
            py::arg("count") = py::none(), py::arg("duration") = py::none(), kStreamDoc)
        .def("collect", &Collect, py::arg("n"), kCollectDoc)
        .def_property_readonly("statistics", &StatisticsOf,
                               "The collection's statistics (Statistics), as they stand now.")
        .def(
            "reset", [](CMeterSession& s) { WithoutGil([&] { s.Reset(); }); },
            "Starts a new collection: count, elapsed time and statistics start again; the "
            "samples not handed out are dropped.")
        .def(
            "set_averaging",
            [](CMeterSession& s, py::handle n) {
                const int checked = CheckedAveraging(WholeNumberArgument(n, "averaging").decimal);
                WithoutGil([&] { s.SetAveraging(checked); });
            },
            py::arg("n"), "Averages each sample's power over the last n readings (1 to 20000).")
        .def(
            "set_interval",
            [](CMeterSession& s, py::handle seconds) {
                const int ms = IntervalMsFromSeconds(SecondsArgument(seconds, "interval"));
                WithoutGil([&] { s.SetIntervalMs(ms); });
            },
            py::arg("seconds"),
            "Seconds between two samples, 0.1 to 86400 (whole milliseconds). OSError, with the "
            "interval unchanged, when the meter is shared and its owner keeps its own.")
        .def(
            "close", [](CMeterSession& s) { WithoutGil([&] { s.Close(); }); },
            "Stops the meter. Closing again does nothing.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__",
             [](CMeterSession& s, py::handle, py::handle, py::handle) {
                 WithoutGil([&] { s.Close(); });
                 return false;
             })
        .def("__repr__", [](const CMeterSession& s) {
            return "<zelmora.Meter " + s.Id() + " " + s.Model() +
                   (s.IsClosed() ? " closed>" : " open>");
        });

    module.def(
        "list_meters",
        [](py::handle simulate, std::optional<bool> real, const std::vector<std::string>& usbIds,
           const std::optional<std::string>& trace, const std::optional<std::string>& replay,
           bool replayPace) {
            AppOptions options = ScriptMeterOptionsOf(simulate, real, usbIds);
            ApplyTraceArguments(options, trace, replay, replayPace);
            std::vector<std::string> problems;
            const std::vector<MeterEntry> meters =
                WithoutGil([&] { return ListMeters(options, ModuleMeterAccess(), problems); });
            Warn(problems);
            return meters;
        },
        py::arg("simulate") = 0, py::arg("real") = py::none(),
        py::arg("usb_ids") = std::vector<std::string>(), py::arg("trace") = py::none(),
        py::arg("replay") = py::none(), py::arg("replay_pace") = false, kListDoc);

    module.def(
        "open",
        [](const std::string& id, py::handle simulate, std::optional<bool> real,
           const std::vector<std::string>& usbIds, py::handle interval, py::handle averaging,
           const std::optional<std::string>& trace, const std::optional<std::string>& replay,
           bool replayPace) {
            if (std::string problem = CheckMeterId(id); !problem.empty()) {
                throw std::invalid_argument(problem);
            }
            AppOptions options = ScriptMeterOptionsOf(simulate, real, usbIds);
            ApplyTraceArguments(options, trace, replay, replayPace);
            const CMeterSession::Settings settings{
                IntervalMsFromSeconds(SecondsArgument(interval, "interval")),
                CheckedAveraging(WholeNumberArgument(averaging, "averaging").decimal)};
            return WithoutGil(
                [&] { return CMeterSession::Open(id, options, settings, ModuleMeterAccess()); });
        },
        py::arg("meter_id"), py::kw_only(), py::arg("simulate") = 0, py::arg("real") = py::none(),
        py::arg("usb_ids") = std::vector<std::string>(), py::arg("interval") = 0.1,
        py::arg("averaging") = 1, py::arg("trace") = py::none(), py::arg("replay") = py::none(),
        py::arg("replay_pace") = false, kOpenDoc);

    // Meters still open when the interpreter ends are stopped while it is
    // whole, not by the process's exit under a running poll.
    py::module_::import("atexit").attr("register")(
        py::cpp_function([] { WithoutGil([] { CMeterSession::CloseAll(); }); }));
}

} // namespace zelmora
