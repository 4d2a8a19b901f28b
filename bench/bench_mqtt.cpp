// relay-mqtt between a real mosquitto on loopback and a board played on a pseudo-terminal:
//   - publish-to-wire: a client publishes chN/set, until the command byte is on the line;
//   - key-to-subscriber: the board sends a key report, until a subscriber has the key message;
//   - beside both, the broker's own publish-to-subscriber latency between two clients (what
//     mosquitto_pub and mosquitto_sub are) in the same run;
//   - CPU of the bridge at 192 key reports a second, all delivered, beside relayctl watch on
//     the same stream.
//
//   build/bench/bench_mqtt [seconds for each CPU run, default 10]
#include <QCoreApplication>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <mosquitto.h>
#include <mutex>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "benchutil.h"
#include "mqttfixture.h"
#include "rawpty.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

double microsSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - t).count();
}

// A libmosquitto client on its own network thread that stamps each message as it arrives.
class Client
{
public:
    explicit Client(int port)
    {
        m_client = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(
            m_client, [](mosquitto *, void *self, const mosquitto_message *m) {
                auto *c = static_cast<Client *>(self);
                std::lock_guard lock(c->m_mutex);
                c->m_arrivals.push_back(
                    {Clock::now(), m->topic,
                     std::string(static_cast<const char *>(m->payload), size_t(m->payloadlen))});
            });
        mosquitto_connect_callback_set(m_client, [](mosquitto *, void *self, int) {
            static_cast<Client *>(self)->m_connected = true;
        });
        mosquitto_connect(m_client, "127.0.0.1", port, 30);
        mosquitto_loop_start(m_client);
        while (!m_connected)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~Client()
    {
        mosquitto_disconnect(m_client);
        mosquitto_loop_stop(m_client, false);
        mosquitto_destroy(m_client);
    }
    void subscribe(const char *topic)
    {
        mosquitto_subscribe(m_client, nullptr, topic, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    void publish(const std::string &topic, const std::string &payload)
    {
        mosquitto_publish(m_client, nullptr, topic.c_str(), int(payload.size()), payload.data(), 1,
                          false);
    }
    struct Arrival
    {
        Clock::time_point at;
        std::string topic;
        std::string payload;
    };
    std::vector<Arrival> take(const std::string &topic)
    {
        std::lock_guard lock(m_mutex);
        std::vector<Arrival> out;
        for (const Arrival &a : m_arrivals) {
            if (a.topic == topic)
                out.push_back(a);
        }
        return out;
    }
    void clear()
    {
        std::lock_guard lock(m_mutex);
        m_arrivals.clear();
    }
    size_t count(const std::string &topic) { return take(topic).size(); }

private:
    mosquitto *m_client = nullptr;
    std::atomic<bool> m_connected {false};
    std::mutex m_mutex;
    std::vector<Arrival> m_arrivals;
};

// Reads the board's side of the line on a thread of its own and stamps each byte.
class LineReader
{
public:
    explicit LineReader(int master)
        : m_thread([this, master] {
            while (!m_stop) {
                pollfd p {master, POLLIN, 0};
                if (::poll(&p, 1, 20) <= 0)
                    continue;
                unsigned char buf[256];
                const ssize_t n = ::read(master, buf, sizeof buf);
                const auto now = Clock::now();
                std::lock_guard lock(m_mutex);
                for (ssize_t i = 0; i < n; ++i)
                    m_bytes.push_back({now, buf[i]});
            }
        })
    { }
    ~LineReader()
    {
        m_stop = true;
        m_thread.join();
    }
    std::vector<std::pair<Clock::time_point, unsigned char>> bytes()
    {
        std::lock_guard lock(m_mutex);
        return m_bytes;
    }

private:
    std::atomic<bool> m_stop {false};
    std::mutex m_mutex;
    std::vector<std::pair<Clock::time_point, unsigned char>> m_bytes;
    std::thread m_thread;
};

pid_t spawn(const std::vector<std::string> &words, bool quiet)
{
    std::vector<char *> argv;
    for (const std::string &w : words)
        argv.push_back(const_cast<char *>(w.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet)
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void stop(pid_t pid)
{
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
}

void sleepUntil(const timespec &t)
{
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) { }
}

timespec after(timespec t, long nanos)
{
    t.tv_nsec += nanos;
    while (t.tv_nsec >= 1000000000L) {
        t.tv_nsec -= 1000000000L;
        ++t.tv_sec;
    }
    return t;
}

// Key reports paced at `rate` a second for `seconds` on `master`; returns how many went.
int paceReports(int master, int rate, int seconds)
{
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    const int total = rate * seconds;
    for (int i = 0; i < total; ++i) {
        const unsigned char report[5]
            = {0x53, 0x00, 0xFF, static_cast<unsigned char>(i), static_cast<unsigned char>(~i)};
        (void)!::write(master, report, sizeof report);
        next = after(next, 1000000000L / rate);
        sleepUntil(next);
    }
    return total;
}

void printLatency(const char *what, const std::vector<double> &sample,
                  const std::vector<double> &broker)
{
    std::printf("  %-34s p50 %7.3f ms  p99 %7.3f ms   (%.1fx / %.1fx the broker's, n=%zu)\n", what,
                percentile(sample, 50) / 1000, percentile(sample, 99) / 1000,
                percentile(sample, 50) / percentile(broker, 50),
                percentile(sample, 99) / percentile(broker, 99), sample.size());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int cpuSecondsPerRun = argc > 1 ? std::atoi(argv[1]) : 10;
    const std::string bridgePath = RELAY_MQTT;
    const std::string relayctlPath = RELAYCTL;
    mosquitto_lib_init();

    TestBroker broker;
    if (!broker.isRunning()) {
        std::fprintf(stderr, "bench_mqtt: mosquitto did not start\n");
        return 1;
    }
    const int port = broker.port();
    RawPty pty;
    LineReader line(pty.master());
    const pid_t bridge
        = spawn({bridgePath, "--device", pty.slavePath().toStdString(), "--broker",
                 "127.0.0.1:" + std::to_string(port), "--id", "bench", "--no-discovery"},
                true);
    Client sub(port), pub(port);
    sub.subscribe("relayboard/bench/#");
    sub.subscribe("bench/ping");
    for (int i = 0; i < 5000 && sub.take("relayboard/bench/availability").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (sub.take("relayboard/bench/availability").empty()) {
        std::fprintf(stderr, "bench_mqtt: relay-mqtt did not come online\n");
        return 1;
    }
    std::this_thread::sleep_for(
        std::chrono::milliseconds(1500)); // its start-up state question is over

    constexpr int samples = 400;
    constexpr auto spacing = std::chrono::milliseconds(5);

    // The broker alone: one client to another.
    std::vector<double> brokerLatency;
    for (int i = 0; i < samples; ++i) {
        sub.clear();
        const auto sent = Clock::now();
        pub.publish("bench/ping", std::to_string(i));
        while (sub.count("bench/ping") == 0 && microsSince(sent) < 1e6)
            std::this_thread::yield();
        const auto got = sub.take("bench/ping");
        if (!got.empty())
            brokerLatency.push_back(
                std::chrono::duration<double, std::micro>(got.front().at - sent).count());
        std::this_thread::sleep_for(spacing);
    }

    // Publish to wire: ON and OFF in turn on CH1, until the byte is on the line.
    std::vector<double> toWire;
    for (int i = 0; i < samples; ++i) {
        const size_t before = line.bytes().size();
        const auto sent = Clock::now();
        pub.publish("relayboard/bench/ch1/set", i % 2 ? "OFF" : "ON");
        const unsigned char want = i % 2 ? 0x21 : 0x11;
        for (;;) {
            const auto bytes = line.bytes();
            bool found = false;
            for (size_t k = before; k < bytes.size(); ++k) {
                if (bytes[k].second == want) {
                    toWire.push_back(
                        std::chrono::duration<double, std::micro>(bytes[k].first - sent).count());
                    found = true;
                    break;
                }
            }
            if (found || microsSince(sent) > 1e6)
                break;
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(spacing);
    }

    // Key report to subscriber.
    std::vector<double> toSubscriber;
    for (int i = 0; i < samples; ++i) {
        sub.clear();
        const unsigned char report[5]
            = {0x53, 0x00, 0xFF, static_cast<unsigned char>(i), static_cast<unsigned char>(~i)};
        const auto sent = Clock::now();
        (void)!::write(pty.master(), report, sizeof report);
        while (sub.count("relayboard/bench/key") == 0 && microsSince(sent) < 1e6)
            std::this_thread::yield();
        const auto got = sub.take("relayboard/bench/key");
        if (!got.empty())
            toSubscriber.push_back(
                std::chrono::duration<double, std::micro>(got.front().at - sent).count());
        std::this_thread::sleep_for(spacing);
    }

    // CPU at line rate: the bridge and relayctl watch on the same stream, in turn, three rounds
    // each (a wake-up-bound figure on a virtual machine varies from run to run: the medians).
    constexpr int rate = 192;
    constexpr int rounds = 3;
    RawPty watchPty;
    LineReader drain(watchPty.master());
    const pid_t watch
        = spawn({relayctlPath, "--device", watchPty.slavePath().toStdString(), "watch"}, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    std::vector<double> bridgeCpu, watchCpu;
    int sentReports = 0;
    size_t delivered = 0;
    for (int round = 0; round < rounds; ++round) {
        sub.clear();
        double before = cpuSeconds(bridge);
        sentReports += paceReports(pty.master(), rate, cpuSecondsPerRun);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        bridgeCpu.push_back(cpuSeconds(bridge) - before);
        delivered += sub.count("relayboard/bench/key");
        before = cpuSeconds(watch);
        paceReports(watchPty.master(), rate, cpuSecondsPerRun);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        watchCpu.push_back(cpuSeconds(watch) - before);
    }
    stop(bridge);
    stop(watch);
    const double bridgeMedian = percentile(bridgeCpu, 50), watchMedian = percentile(watchCpu, 50);

    std::printf("relay-mqtt on mosquitto, loopback, %d samples each, %ld ms apart\n", samples,
                long(spacing.count()));
    std::printf("ratios first:\n");
    printLatency("publish -> command byte on the line", toWire, brokerLatency);
    printLatency("key report on the line -> subscriber", toSubscriber, brokerLatency);
    std::printf("  %-34s p50 %7.3f ms  p99 %7.3f ms\n", "broker alone, client -> client",
                percentile(brokerLatency, 50) / 1000, percentile(brokerLatency, 99) / 1000);
    std::printf("  CPU at %d key reports/s, %d s, median of %d: relay-mqtt %.2f s, relayctl watch"
                " %.2f s: %.2fx (%zu of %d delivered)\n",
                rate, cpuSecondsPerRun, rounds, bridgeMedian, watchMedian,
                watchMedian > 0 ? bridgeMedian / watchMedian : 0.0, delivered, sentReports);
    mosquitto_lib_cleanup();
    return 0;
}
