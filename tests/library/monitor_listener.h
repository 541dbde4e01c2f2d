#pragma once

// Listens to the test sink's monitor while a test plays into the sink: 10 ms pieces, mono, 44100 Hz,
// each kept with its level and how much of it lies at given frequencies. Counting pieces measures
// how much sound was heard, whatever the delays of the machine.

#include <pulse/error.h>
#include <pulse/simple.h>

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class MonitorListener {
public:
    static constexpr int rate = 44100;
    static constexpr int pieceFrames = 441;
    static constexpr double pieceSeconds = double(pieceFrames) / rate;

    struct Piece {
        std::chrono::steady_clock::time_point arrived;
        double level = 0;           // RMS, 0..1
        std::vector<double> shares; // of the piece's energy at each frequency, 0..1
    };

    MonitorListener(const QString& source, std::vector<double> frequencies) : m_frequencies(std::move(frequencies))
    {
        pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, rate, 1};
        pa_buffer_attr attr;
        attr.maxlength = uint32_t(-1);
        attr.tlength = uint32_t(-1);
        attr.prebuf = uint32_t(-1);
        attr.minreq = uint32_t(-1);
        attr.fragsize = pieceFrames * 2;
        int error = 0;
        const QByteArray device = source.toUtf8();
        m_simple = pa_simple_new(nullptr, "trelvik-test-listener", PA_STREAM_RECORD, device.constData(), "monitor",
                                 &sampleSpec, nullptr, &attr, &error);
        if (m_simple)
            m_thread = std::thread([this] { listen(); });
    }

    ~MonitorListener() { stop(); }

    bool ok() const { return m_simple != nullptr; }

    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_simple) {
            pa_simple_free(m_simple);
            m_simple = nullptr;
        }
    }

    std::vector<Piece> pieces()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_pieces;
    }

    // Seconds of sound above the level; with a frequency index, the pieces mostly at that frequency,
    // and the glitches inside its stretches: up to two loud pieces mostly at none of the
    // frequencies, between pieces of it or at the edges of a short dropout (isGlitch). A sound server that misses its
    // deadlines on a busy machine (PipeWire without real-time scheduling) drops or repeats a few milliseconds now and
    // then, which breaks a piece's tone without any silence; glitches() counts those.
    double loudSeconds(double level = 0.05, int frequency = -1)
    {
        if (frequency < 0) {
            double seconds = 0;
            for (const Piece& piece : pieces())
                if (piece.level > level)
                    seconds += pieceSeconds;
            return seconds;
        }
        const std::string line = timeline(level);
        const char tone = char('0' + frequency);
        size_t count = 0;
        for (size_t i = 0; i < line.size(); ++i)
            if (line[i] == tone || isGlitch(line, i, tone))
                ++count;
        return double(count) * pieceSeconds;
    }

    // Seconds of glitches inside stretches of the frequency (see loudSeconds).
    double glitches(int frequency, double level = 0.05)
    {
        const std::string line = timeline(level);
        size_t count = 0;
        for (size_t i = 0; i < line.size(); ++i)
            if (isGlitch(line, i, char('0' + frequency)))
                ++count;
        return double(count) * pieceSeconds;
    }

    // The pieces from the first loud one to the last, one letter each: '.' quiet, a digit for a
    // piece mostly at that frequency's index, 'x' for a loud piece at none of them. For messages.
    std::string timeline(double level = 0.05)
    {
        std::string line;
        for (const Piece& piece : pieces()) {
            char c = '.';
            if (piece.level > level) {
                c = 'x';
                for (size_t i = 0; i < piece.shares.size(); ++i)
                    if (piece.shares[i] > 0.5)
                        c = char('0' + i);
            }
            line += c;
        }
        const size_t first = line.find_first_not_of('.');
        if (first == std::string::npos)
            return {};
        return line.substr(first, line.find_last_not_of('.') - first + 1);
    }

    // When the first piece above the level arrived; the clock's epoch when none did.
    std::chrono::steady_clock::time_point firstLoud(double level = 0.05)
    {
        for (const Piece& piece : pieces())
            if (piece.level > level)
                return piece.arrived;
        return {};
    }

    // Waits until the monitor has heard this much of a frequency (or any sound); false after timeout.
    bool waitForSound(double seconds, int frequency = -1, int timeoutMs = 10000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            if (loudSeconds(0.05, frequency) >= seconds)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

private:
    // Whether the piece at i lies in a run of at most two 'x' pieces with the tone on both sides, or
    // at an edge of a dropout: such a run between the tone and at most 50 ms of silence that the
    // tone goes on after (a cycle the server dropped cuts the tone mid-piece on both sides of it).
    static bool isGlitch(const std::string& line, size_t i, char tone)
    {
        if (line[i] != 'x')
            return false;
        const auto run = [&line](size_t at, char c, int step) {
            size_t n = 0;
            for (auto k = std::ptrdiff_t(at); k >= 0 && size_t(k) < line.size() && line[size_t(k)] == c; k += step)
                ++n;
            return n;
        };
        const size_t first = i + 1 - run(i, 'x', -1);
        const size_t last = i + run(i, 'x', 1) - 1;
        if (last - first >= 2)
            return false;
        const char before = first > 0 ? line[first - 1] : '\0';
        const char after = last + 1 < line.size() ? line[last + 1] : '\0';
        if (before == tone && after == tone)
            return true;
        // From the silence on the other side to where the tone goes on, past at most two 'x'.
        const auto goesOn = [&](size_t at, int step) {
            const size_t quiet = run(at, '.', step);
            if (quiet == 0 || quiet > 5)
                return false;
            auto k = std::ptrdiff_t(at) + step * std::ptrdiff_t(quiet);
            const size_t edge = k >= 0 && size_t(k) < line.size() ? run(size_t(k), 'x', step) : 0;
            if (edge > 2)
                return false;
            k += step * std::ptrdiff_t(edge);
            return k >= 0 && size_t(k) < line.size() && line[size_t(k)] == tone;
        };
        return (before == tone && after == '.' && goesOn(last + 1, 1)) ||
               (after == tone && before == '.' && goesOn(first - 1, -1));
    }

    void listen()
    {
        std::vector<int16_t> buffer(pieceFrames);
        while (!m_stop) {
            int error = 0;
            if (pa_simple_read(m_simple, buffer.data(), buffer.size() * 2, &error) < 0)
                return;
            Piece piece;
            piece.arrived = std::chrono::steady_clock::now();
            double energy = 0;
            for (int16_t v : buffer)
                energy += (v / 32768.0) * (v / 32768.0);
            piece.level = std::sqrt(energy / pieceFrames);
            for (double f : m_frequencies) {
                const double coeff = 2 * std::cos(2 * M_PI * f / rate);
                double s1 = 0;
                double s2 = 0;
                for (int16_t v : buffer) {
                    const double s = v / 32768.0 + coeff * s1 - s2;
                    s2 = s1;
                    s1 = s;
                }
                const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
                piece.shares.push_back(energy > 0 ? std::min(1.0, 2 * power / (pieceFrames * energy)) : 0.0);
            }
            std::lock_guard<std::mutex> guard(m_mutex);
            m_pieces.push_back(std::move(piece));
        }
    }

    std::vector<double> m_frequencies;
    pa_simple* m_simple = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<Piece> m_pieces;
};
