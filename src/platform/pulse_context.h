#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct pa_context;
struct pa_operation;
struct pa_threaded_mainloop;

// One recording source as the sound server describes it.
struct PulseSource {
    std::string name;
    std::string description;
    bool monitor = false; // the monitor of a sink: "what is playing"
    uint8_t channels = 0;
    uint32_t volume = 0; // the average of its channels (65536 is 100 %)
};

// The program's one connection to the sound server: a libpulse context on a threaded main loop,
// shared by capture, mixer and player. Every public call may be made from the UI thread and returns
// within callTimeout even when the server hangs or has gone away; a lost connection is made again
// on the next call that needs it.
//
// Users that talk to libpulse directly take a Lock, check context() for null, and wait for their
// callbacks with waitUntil(), which gives the lock up while it waits.
class PulseContext {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds callTimeout{2000};

    // server: a server string as PULSE_SERVER takes it; empty for the usual one.
    explicit PulseContext(std::string server = {}, std::string applicationName = "Trelvik");
    ~PulseContext();
    PulseContext(const PulseContext&) = delete;
    PulseContext& operator=(const PulseContext&) = delete;

    // Connects when not connected; true when the server answers.
    bool ensureConnected();
    bool isConnected();

    // Every source: the default source first, the other inputs next, the monitors last; inputs and
    // monitors each ordered by name. Empty when no server answers.
    std::vector<PulseSource> sources();
    // The name of the default source; empty when there is none or no server answers.
    std::string defaultSourceName();

    // The source a 0-based index into sources() names; the default source for an index outside the
    // list (−1 and −2 included). Empty when no server answers.
    PulseSource sourceAt(int32_t index);

    // Sets every channel of the named source to volume (PA_VOLUME_NORM = 65536 is 100 %).
    bool setSourceVolume(const std::string& name, uint32_t volume);

    // --- answers that never wait for the server ---

    // The source list in the order of sources(), as the server last described it. It is filled
    // before ensureConnected() (or any other connecting call) returns true, unless the server was too
    // slow to send it, and follows added and removed sources and a changed default source a moment
    // after the server reports them. Empty while not connected.
    std::vector<PulseSource> cachedSources();
    std::string cachedDefaultSourceName();
    // As sourceAt(), on the cached list: the default source for an index outside it.
    PulseSource cachedSourceAt(int32_t index);

    // Starts connecting when there is no connection, without waiting for the server; the cached list
    // fills once it answers. At most one attempt a reconnectInterval, so a caller may ask on every
    // slider step. True when already connected.
    bool connectInBackground();
    static constexpr std::chrono::milliseconds reconnectInterval{1000};
    // The same, begun by the loop thread: the caller does not spend the milliseconds it takes to
    // read the client configuration and set up the memory pool (the window is built meanwhile).
    void connectFromLoop();

    // Connects again by itself after the server went away, trying every retryInterval, so that the
    // program is ready again as soon as a server answers (a restarted one, a new login session)
    // without a user action. Off until asked for.
    void keepConnected();
    static constexpr std::chrono::milliseconds retryInterval{1000};

    // Called on the loop thread, with the lock held, whenever the cached source list changed: filled
    // after a connection was made, sources added or removed, the default source changed, or emptied
    // because the connection was lost. The callback may use libpulse but must not wait.
    using SourcesWatcher = std::function<void()>;
    // The cached list for a watcher, or other code that holds the lock (taking the lock again on
    // the loop thread is not allowed).
    const std::vector<PulseSource>& cachedSourcesLocked() const { return m_cachedSources; }
    // Whether the cached list is the server's (an empty list may be the server's answer too).
    bool sourcesListedLocked() const { return m_cacheFilled; }
    int addSourcesWatcher(SourcesWatcher watcher);
    void removeSourcesWatcher(int id);

    // --- for code that talks to libpulse itself ---

    // Holds the main loop's lock; libpulse objects of this context may be used while it is held.
    class Lock {
    public:
        explicit Lock(PulseContext& pulse);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        PulseContext& m_pulse;
    };

    pa_threaded_mainloop* mainloop() const { return m_mainloop; }
    // False when the loop thread could not be started: nothing can connect then.
    bool isLoopRunning() const { return m_loopRunning; }
    // The live context, or null when not connected. Lock held.
    pa_context* context() const;

    // Lock held: waits until done() is true, the deadline passes, or the connection fails.
    // Returns done(). Callbacks wake it with wake().
    bool waitUntil(const std::function<bool()>& done, Clock::time_point deadline);
    // Lock held: waits for op to finish (see waitUntil), cancels it when it did not, and unrefs it.
    bool waitOperation(pa_operation* op, Clock::time_point deadline);
    // Wakes every waiter; safe from libpulse callbacks.
    void wake();

    static Clock::time_point deadlineFromNow(std::chrono::milliseconds timeout = callTimeout)
    {
        return Clock::now() + timeout;
    }

private:
    bool connectLocked(Clock::time_point deadline);
    bool startConnectLocked();
    bool connectingLocked() const;
    void dropContextLocked();
    void forgetSourcesLocked();
    void fetchSourcesLocked();
    void fetchFinishedLocked(bool complete);
    void notifyWatchersLocked();
    void scheduleRetryLocked();
    void cancelRetryLocked();

    // The libpulse callbacks, which run on the loop thread with the lock held.
    friend struct PulseContextCallbacks;

    std::string m_server;
    std::string m_applicationName;
    pa_threaded_mainloop* m_mainloop = nullptr;
    pa_context* m_context = nullptr;
    bool m_loopRunning = false;
    Clock::time_point m_connectStarted{};

    // All below: lock held.
    std::vector<PulseSource> m_cachedSources;
    std::string m_cachedDefault;
    bool m_cacheFilled = false;
    // One fetch at a time; events during a fetch ask for one more after it, so a burst of events
    // costs two fetches, not one each.
    bool m_fetching = false;
    bool m_fetchAgain = false;
    bool m_fetchFailed = false;
    std::string m_fetchDefault;
    std::vector<PulseSource> m_fetchSources;
    std::vector<std::pair<int, SourcesWatcher>> m_watchers;
    int m_nextWatcher = 1;
    bool m_keepConnected = false;
    struct pa_time_event* m_retry = nullptr;
    struct pa_defer_event* m_connectDue = nullptr;
};
