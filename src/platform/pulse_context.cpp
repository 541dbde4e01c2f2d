#include "platform/pulse_context.h"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <algorithm>

namespace {

PulseSource describeSource(const pa_source_info& info)
{
    PulseSource source;
    source.name = info.name ? info.name : "";
    source.description = info.description ? info.description : "";
    source.monitor = info.monitor_of_sink != PA_INVALID_INDEX;
    source.channels = info.channel_map.channels ? info.channel_map.channels : info.sample_spec.channels;
    source.volume = pa_cvolume_avg(&info.volume);
    return source;
}

// Default first, then inputs, then monitors; by name inside each group, so the order does not depend
// on which module happened to load first.
void orderSources(std::vector<PulseSource>& sources, const std::string& defaultSource)
{
    auto rank = [&defaultSource](const PulseSource& source) {
        if (source.name == defaultSource)
            return 0;
        return source.monitor ? 2 : 1;
    };
    std::stable_sort(sources.begin(), sources.end(), [&rank](const PulseSource& a, const PulseSource& b) {
        const int ra = rank(a);
        const int rb = rank(b);
        if (ra != rb)
            return ra < rb;
        return a.name < b.name;
    });
}

PulseSource pick(const std::vector<PulseSource>& all, int32_t index)
{
    if (all.empty())
        return {};
    if (index >= 0 && size_t(index) < all.size())
        return all[size_t(index)];
    // The list starts with the default source when the server names one that exists.
    return all.front();
}

void deadlineReached(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata)
{
    static_cast<PulseContext*>(userdata)->wake();
}

} // namespace

struct PulseContextCallbacks {
    static void stateChanged(pa_context* context, void* userdata)
    {
        auto* pulse = static_cast<PulseContext*>(userdata);
        if (context == pulse->m_context) {
            switch (pa_context_get_state(context)) {
            case PA_CONTEXT_READY: {
                // Subscribed before the first fetch is sent: the server answers in order, so any change
                // after the list it sends also reaches us as an event.
                pa_context_set_subscribe_callback(context, eventReceived, pulse);
                if (pa_operation* op = pa_context_subscribe(
                        context, pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER),
                        nullptr, nullptr))
                    pa_operation_unref(op);
                pulse->fetchSourcesLocked();
                break;
            }
            case PA_CONTEXT_FAILED:
            case PA_CONTEXT_TERMINATED:
                pulse->forgetSourcesLocked();
                pulse->notifyWatchersLocked();
                pulse->scheduleRetryLocked();
                break;
            default:
                break;
            }
        }
        pulse->wake();
    }

    static void eventReceived(pa_context*, pa_subscription_event_type_t type, uint32_t, void* userdata)
    {
        // Server events carry a new default source; source events new, changed and removed sources.
        const unsigned facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SOURCE || facility == PA_SUBSCRIPTION_EVENT_SERVER)
            static_cast<PulseContext*>(userdata)->fetchSourcesLocked();
    }

    static void fetchedServerInfo(pa_context*, const pa_server_info* info, void* userdata)
    {
        auto* pulse = static_cast<PulseContext*>(userdata);
        if (!info)
            pulse->m_fetchFailed = true;
        else if (info->default_source_name)
            pulse->m_fetchDefault = info->default_source_name;
    }

    static void fetchedSource(pa_context*, const pa_source_info* info, int eol, void* userdata)
    {
        auto* pulse = static_cast<PulseContext*>(userdata);
        if (eol != 0)
            pulse->fetchFinishedLocked(eol > 0);
        else if (info)
            pulse->m_fetchSources.push_back(describeSource(*info));
    }

    static void connectDue(pa_mainloop_api* api, pa_defer_event* event, void* userdata)
    {
        auto* pulse = static_cast<PulseContext*>(userdata);
        api->defer_free(event);
        pulse->m_connectDue = nullptr;
        // A caller that wanted the connection at once may have begun it meanwhile.
        if (!pulse->context() && !pulse->connectingLocked())
            pulse->startConnectLocked();
    }

    static void retryDue(pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* userdata)
    {
        auto* pulse = static_cast<PulseContext*>(userdata);
        api->time_free(event);
        pulse->m_retry = nullptr;
        if (!pulse->context() && !pulse->connectingLocked())
            pulse->startConnectLocked();
        // An attempt still under way (a server that does not answer yet) is left to come through.
        if (!pulse->context())
            pulse->scheduleRetryLocked();
    }
};

PulseContext::PulseContext(std::string server, std::string applicationName)
    : m_server(std::move(server)), m_applicationName(std::move(applicationName))
{
    m_mainloop = pa_threaded_mainloop_new();
    if (!m_mainloop)
        return;
    // Named before it starts: the loop thread takes the name as it starts, whereas naming a running
    // loop renames the calling thread.
    pa_threaded_mainloop_set_name(m_mainloop, "trelvik-pulse");
    if (pa_threaded_mainloop_start(m_mainloop) == 0)
        m_loopRunning = true;
}

PulseContext::~PulseContext()
{
    if (!m_mainloop)
        return;
    if (m_loopRunning) {
        pa_threaded_mainloop_lock(m_mainloop);
        m_keepConnected = false;
        cancelRetryLocked();
        if (m_connectDue) {
            pa_threaded_mainloop_get_api(m_mainloop)->defer_free(m_connectDue);
            m_connectDue = nullptr;
        }
        dropContextLocked();
        pa_threaded_mainloop_unlock(m_mainloop);
        pa_threaded_mainloop_stop(m_mainloop);
    } else {
        dropContextLocked();
    }
    pa_threaded_mainloop_free(m_mainloop);
}

PulseContext::Lock::Lock(PulseContext& pulse) : m_pulse(pulse)
{
    if (m_pulse.m_loopRunning)
        pa_threaded_mainloop_lock(m_pulse.m_mainloop);
}

PulseContext::Lock::~Lock()
{
    if (m_pulse.m_loopRunning)
        pa_threaded_mainloop_unlock(m_pulse.m_mainloop);
}

pa_context* PulseContext::context() const
{
    if (!m_context || pa_context_get_state(m_context) != PA_CONTEXT_READY)
        return nullptr;
    return m_context;
}

void PulseContext::wake()
{
    if (m_loopRunning)
        pa_threaded_mainloop_signal(m_mainloop, 0);
}

bool PulseContext::waitUntil(const std::function<bool()>& done, Clock::time_point deadline)
{
    if (done())
        return true;
    if (!m_loopRunning || !m_context)
        return false;
    // A timer on the loop wakes us at the deadline, so a server that never answers cannot keep the
    // caller waiting.
    const auto now = Clock::now();
    if (now >= deadline)
        return false;
    const auto remaining = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
    pa_time_event* timer =
        pa_context_rttime_new(m_context, pa_rtclock_now() + pa_usec_t(remaining) + 1000, deadlineReached, this);
    bool result = false;
    for (;;) {
        if (done()) {
            result = true;
            break;
        }
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context)) || Clock::now() >= deadline)
            break;
        pa_threaded_mainloop_wait(m_mainloop);
    }
    if (timer)
        pa_threaded_mainloop_get_api(m_mainloop)->time_free(timer);
    return result;
}

bool PulseContext::waitOperation(pa_operation* op, Clock::time_point deadline)
{
    if (!op)
        return false;
    const bool finished = waitUntil([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; }, deadline);
    if (!finished)
        pa_operation_cancel(op);
    const bool done = finished && pa_operation_get_state(op) == PA_OPERATION_DONE;
    pa_operation_unref(op);
    return done;
}

void PulseContext::dropContextLocked()
{
    forgetSourcesLocked();
    if (!m_context)
        return;
    pa_context_set_state_callback(m_context, nullptr, nullptr);
    pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
    // Disconnecting cancels every operation still running, so no fetch callback of this context
    // comes after this.
    pa_context_disconnect(m_context);
    pa_context_unref(m_context);
    m_context = nullptr;
}

bool PulseContext::connectingLocked() const
{
    if (!m_context)
        return false;
    const pa_context_state_t state = pa_context_get_state(m_context);
    return PA_CONTEXT_IS_GOOD(state) && state != PA_CONTEXT_READY;
}

bool PulseContext::startConnectLocked()
{
    dropContextLocked();
    m_connectStarted = Clock::now();
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, m_applicationName.c_str());
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "trelvik");
    m_context =
        pa_context_new_with_proplist(pa_threaded_mainloop_get_api(m_mainloop), m_applicationName.c_str(), props);
    pa_proplist_free(props);
    if (!m_context)
        return false;
    pa_context_set_state_callback(m_context, PulseContextCallbacks::stateChanged, this);
    if (pa_context_connect(m_context, m_server.empty() ? nullptr : m_server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) <
        0) {
        dropContextLocked();
        return false;
    }
    return true;
}

bool PulseContext::connectLocked(Clock::time_point deadline)
{
    if (context())
        return true;
    if (!m_loopRunning)
        return false;
    // An attempt started in the background is as good as a new one.
    if (!connectingLocked() && !startConnectLocked())
        return false;
    const bool ready = waitUntil(
        [this] {
            const pa_context_state_t state = pa_context_get_state(m_context);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        },
        deadline);
    if (!ready || pa_context_get_state(m_context) != PA_CONTEXT_READY) {
        dropContextLocked();
        return false;
    }
    // The first list is part of connecting, so that callers that never wait find it right away. A
    // server too slow to send it does not fail the connection: the list arrives later.
    waitUntil([this] { return m_cacheFilled; }, deadline);
    return context() != nullptr;
}

bool PulseContext::connectInBackground()
{
    Lock lock(*this);
    if (context())
        return true;
    if (!m_loopRunning)
        return false;
    const auto now = Clock::now();
    if (now - m_connectStarted < reconnectInterval)
        return false;
    // An attempt that has not come through in callTimeout talks to a server that does not answer;
    // a fresh one may find a server started since on the same socket.
    if (connectingLocked() && now - m_connectStarted < callTimeout)
        return false;
    startConnectLocked();
    return false;
}

void PulseContext::connectFromLoop()
{
    Lock lock(*this);
    if (!m_loopRunning || m_connectDue || context() || connectingLocked())
        return;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_mainloop);
    m_connectDue = api->defer_new(api, PulseContextCallbacks::connectDue, this);
}

void PulseContext::keepConnected()
{
    Lock lock(*this);
    m_keepConnected = true;
    if (!context() && !connectingLocked())
        scheduleRetryLocked();
}

void PulseContext::scheduleRetryLocked()
{
    if (!m_keepConnected || m_retry || !m_loopRunning)
        return;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_mainloop);
    // The loop's own timers run on the wall clock; a jump of it only moves one retry.
    struct timeval due;
    pa_gettimeofday(&due);
    pa_timeval_add(&due, pa_usec_t(retryInterval.count()) * 1000);
    m_retry = api->time_new(api, &due, PulseContextCallbacks::retryDue, this);
}

void PulseContext::cancelRetryLocked()
{
    if (!m_retry)
        return;
    pa_threaded_mainloop_get_api(m_mainloop)->time_free(m_retry);
    m_retry = nullptr;
}

int PulseContext::addSourcesWatcher(SourcesWatcher watcher)
{
    Lock lock(*this);
    const int id = m_nextWatcher++;
    m_watchers.emplace_back(id, std::move(watcher));
    return id;
}

void PulseContext::removeSourcesWatcher(int id)
{
    Lock lock(*this);
    std::erase_if(m_watchers, [id](const auto& entry) { return entry.first == id; });
}

void PulseContext::notifyWatchersLocked()
{
    // A watcher may remove itself; the others still hear of the change.
    const auto watchers = m_watchers;
    for (const auto& [id, watcher] : watchers)
        watcher();
}

void PulseContext::forgetSourcesLocked()
{
    m_cachedSources.clear();
    m_cachedDefault.clear();
    m_cacheFilled = false;
    m_fetching = false;
    m_fetchAgain = false;
    m_fetchFailed = false;
    m_fetchDefault.clear();
    m_fetchSources.clear();
}

void PulseContext::fetchSourcesLocked()
{
    if (!context())
        return;
    if (m_fetching) {
        m_fetchAgain = true;
        return;
    }
    m_fetching = true;
    m_fetchAgain = false;
    m_fetchFailed = false;
    m_fetchDefault.clear();
    m_fetchSources.clear();
    // The source list ends the fetch; the server info, asked first, has arrived by then.
    pa_operation* server = pa_context_get_server_info(m_context, PulseContextCallbacks::fetchedServerInfo, this);
    pa_operation* list = pa_context_get_source_info_list(m_context, PulseContextCallbacks::fetchedSource, this);
    if (server)
        pa_operation_unref(server);
    if (list)
        pa_operation_unref(list);
    else
        m_fetching = false;
}

void PulseContext::fetchFinishedLocked(bool complete)
{
    m_fetching = false;
    if (complete && !m_fetchFailed) {
        orderSources(m_fetchSources, m_fetchDefault);
        m_cachedSources = std::move(m_fetchSources);
        m_cachedDefault = std::move(m_fetchDefault);
        m_cacheFilled = true;
        notifyWatchersLocked();
    }
    m_fetchSources.clear();
    m_fetchDefault.clear();
    wake();
    if (m_fetchAgain)
        fetchSourcesLocked();
}

std::vector<PulseSource> PulseContext::cachedSources()
{
    Lock lock(*this);
    return m_cachedSources;
}

std::string PulseContext::cachedDefaultSourceName()
{
    Lock lock(*this);
    return m_cachedDefault;
}

PulseSource PulseContext::cachedSourceAt(int32_t index)
{
    Lock lock(*this);
    return pick(m_cachedSources, index);
}

bool PulseContext::ensureConnected()
{
    Lock lock(*this);
    return connectLocked(deadlineFromNow());
}

bool PulseContext::isConnected()
{
    Lock lock(*this);
    return context() != nullptr;
}

namespace {

struct ServerInfoQuery {
    PulseContext* pulse = nullptr;
    std::string defaultSource;
};

void serverInfoReceived(pa_context*, const pa_server_info* info, void* userdata)
{
    auto* query = static_cast<ServerInfoQuery*>(userdata);
    if (info && info->default_source_name)
        query->defaultSource = info->default_source_name;
    query->pulse->wake();
}

struct SourceListQuery {
    PulseContext* pulse = nullptr;
    std::vector<PulseSource> sources;
};

void sourceReceived(pa_context*, const pa_source_info* info, int eol, void* userdata)
{
    auto* query = static_cast<SourceListQuery*>(userdata);
    if (eol == 0 && info)
        query->sources.push_back(describeSource(*info));
    query->pulse->wake();
}

struct SuccessQuery {
    PulseContext* pulse = nullptr;
    bool success = false;
};

void successReceived(pa_context*, int success, void* userdata)
{
    auto* query = static_cast<SuccessQuery*>(userdata);
    query->success = success != 0;
    query->pulse->wake();
}

} // namespace

std::string PulseContext::defaultSourceName()
{
    Lock lock(*this);
    const auto deadline = deadlineFromNow();
    if (!connectLocked(deadline))
        return {};
    ServerInfoQuery query{this, {}};
    if (!waitOperation(pa_context_get_server_info(m_context, serverInfoReceived, &query), deadline))
        return {};
    return query.defaultSource;
}

std::vector<PulseSource> PulseContext::sources()
{
    Lock lock(*this);
    const auto deadline = deadlineFromNow();
    if (!connectLocked(deadline))
        return {};
    ServerInfoQuery server{this, {}};
    if (!waitOperation(pa_context_get_server_info(m_context, serverInfoReceived, &server), deadline))
        return {};
    SourceListQuery list{this, {}};
    if (!waitOperation(pa_context_get_source_info_list(m_context, sourceReceived, &list), deadline))
        return {};
    orderSources(list.sources, server.defaultSource);
    return list.sources;
}

PulseSource PulseContext::sourceAt(int32_t index)
{
    return pick(sources(), index);
}

bool PulseContext::setSourceVolume(const std::string& name, uint32_t volume)
{
    Lock lock(*this);
    const auto deadline = deadlineFromNow();
    if (name.empty() || !connectLocked(deadline))
        return false;
    SourceListQuery info{this, {}};
    if (!waitOperation(pa_context_get_source_info_by_name(m_context, name.c_str(), sourceReceived, &info), deadline) ||
        info.sources.empty())
        return false;
    // The volume must carry the source's own channel count, or the server refuses it.
    pa_cvolume cv;
    pa_cvolume_set(&cv, std::max<unsigned>(1, info.sources.front().channels), pa_volume_t(volume));
    SuccessQuery result{this, false};
    if (!waitOperation(pa_context_set_source_volume_by_name(m_context, name.c_str(), &cv, successReceived, &result),
                       deadline))
        return false;
    return result.success;
}
