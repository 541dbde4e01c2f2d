#include "platform/pulse_context.h"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <algorithm>

namespace {

void contextStateChanged(pa_context*, void* userdata)
{
    static_cast<PulseContext*>(userdata)->wake();
}

void deadlineReached(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata)
{
    static_cast<PulseContext*>(userdata)->wake();
}

} // namespace

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
    pa_time_event* timer = pa_context_rttime_new(m_context, pa_rtclock_now() + pa_usec_t(remaining) + 1000,
                                                 deadlineReached, this);
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
    const bool finished =
        waitUntil([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; }, deadline);
    if (!finished)
        pa_operation_cancel(op);
    const bool done = finished && pa_operation_get_state(op) == PA_OPERATION_DONE;
    pa_operation_unref(op);
    return done;
}

void PulseContext::dropContextLocked()
{
    if (!m_context)
        return;
    pa_context_set_state_callback(m_context, nullptr, nullptr);
    pa_context_disconnect(m_context);
    pa_context_unref(m_context);
    m_context = nullptr;
}

bool PulseContext::connectLocked(Clock::time_point deadline)
{
    if (context())
        return true;
    if (!m_loopRunning)
        return false;
    dropContextLocked();
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, m_applicationName.c_str());
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "trelvik");
    m_context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(m_mainloop), m_applicationName.c_str(),
                                             props);
    pa_proplist_free(props);
    if (!m_context)
        return false;
    pa_context_set_state_callback(m_context, contextStateChanged, this);
    if (pa_context_connect(m_context, m_server.empty() ? nullptr : m_server.c_str(), PA_CONTEXT_NOAUTOSPAWN,
                           nullptr) < 0) {
        dropContextLocked();
        return false;
    }
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
    return true;
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
    if (eol == 0 && info) {
        PulseSource source;
        source.name = info->name ? info->name : "";
        source.description = info->description ? info->description : "";
        source.monitor = info->monitor_of_sink != PA_INVALID_INDEX;
        source.channels = info->channel_map.channels ? info->channel_map.channels : info->sample_spec.channels;
        query->sources.push_back(std::move(source));
    }
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

    // Default first, then inputs, then monitors; by name inside each group, so the order does not
    // depend on which module happened to load first.
    auto rank = [&server](const PulseSource& source) {
        if (source.name == server.defaultSource)
            return 0;
        return source.monitor ? 2 : 1;
    };
    std::stable_sort(list.sources.begin(), list.sources.end(), [&rank](const PulseSource& a, const PulseSource& b) {
        const int ra = rank(a);
        const int rb = rank(b);
        if (ra != rb)
            return ra < rb;
        return a.name < b.name;
    });
    return list.sources;
}

PulseSource PulseContext::sourceAt(int32_t index)
{
    const std::vector<PulseSource> all = sources();
    if (all.empty())
        return {};
    if (index >= 0 && size_t(index) < all.size())
        return all[size_t(index)];
    // The list starts with the default source when the server names one that exists.
    return all.front();
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
