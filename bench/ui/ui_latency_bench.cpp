// The configurator's live view, measured as a player meets it: quillex-sim
// --serve and quillexctl ui running as their own processes, one page's event
// stream open (an HTTP client reading it as the browser does), and a state
// change written into the driver's state block through the device link.
//
//   BM_StateBlockToPageEvent  time from the state-block write completing to
//                             the page's event carrying it: p50 and p99
//   BM_ServerCpuAt60Hz        quillexctl ui's CPU while the state changes 60
//                             times a second with one page open
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tools/quillexctl/device_link.h"
#include "tools/quillexctl/public_header.h"

#undef DELETE // the resolver headers' own
#include <httplib.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Child {
    pid_t pid = -1;
    std::string outputPath;
};

Child Start(const std::vector<std::string>& args, const std::string& outputPath) {
    Child c;
    c.outputPath = outputPath;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    if (posix_spawn(&c.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        c.pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return c;
}

void Stop(Child& c) {
    if (c.pid > 0) {
        kill(c.pid, SIGTERM);
        waitpid(c.pid, nullptr, 0);
        c.pid = -1;
    }
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template <class Done> bool WaitFor(Done done, std::chrono::seconds limit) {
    auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// CPU seconds a process has used (user + system), from /proc.
double CpuSeconds(pid_t pid) {
    std::string stat = Slurp("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < stat.size()) {
        size_t end = stat.find(' ', at);
        fields.push_back(stat.substr(at, end - at));
        if (end == std::string::npos) {
            break;
        }
        at = end + 1;
    }
    // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    return (std::stod(fields.at(11)) + std::stod(fields.at(12))) / sysconf(_SC_CLK_TCK);
}

// The machine, the configurator, one page's event stream and a link that
// writes the state block.
class Setup {
  public:
    explicit Setup(const char* quillexctl) : quillexctl_(quillexctl) {}

    bool Up(std::string* error) {
        dir_ = "/tmp/quillex-ui-bench-" + std::to_string(getpid());
        mkdir(dir_.c_str(), 0700);
        socket_ = dir_ + "/quillex.sock";
        sim_ = Start({QUILLEX_SIM_PATH, "--serve", socket_, "--sticks", "1"}, dir_ + "/sim.out");
        if (!WaitFor(
                [&] { return Slurp(sim_.outputPath).find("== listening on") != std::string::npos; },
                std::chrono::seconds(30))) {
            *error = "quillex-sim --serve did not start: " + Slurp(sim_.outputPath);
            return false;
        }
        ui_ = Start({quillexctl_, "--connect", socket_, "ui", "--no-browser"}, dir_ + "/ui.out");
        std::smatch match;
        static const std::regex kUrl("http://127\\.0\\.0\\.1:(\\d+)/\\?token=([0-9a-f]{64})");
        std::string printed;
        if (!WaitFor(
                [&] {
                    printed = Slurp(ui_.outputPath);
                    return std::regex_search(printed, match, kUrl);
                },
                std::chrono::seconds(10))) {
            *error = "quillexctl ui printed no address: " + printed;
            return false;
        }
        port_ = std::stoi(match[1]);
        token_ = match[2];
        link_ = ConnectToServer(socket_, 0, error);
        if (link_ == nullptr) {
            return false;
        }
        reader_ = std::thread([this] { Read(); });
        return WaitFor([&] { return Events() > 0; }, std::chrono::seconds(10));
    }

    ~Setup() {
        stop_ = true;
        Stop(ui_); // ends the event stream the reader is in
        if (reader_.joinable()) {
            reader_.join();
        }
        link_.reset();
        Stop(sim_);
        unlink(socket_.c_str());
        remove((dir_ + "/sim.out").c_str());
        remove((dir_ + "/ui.out").c_str());
        rmdir(dir_.c_str());
    }

    // Writes RIGHT_STICK_X into the state block; false if the driver refused.
    bool SetRightStickX(uint32_t value) {
        std::vector<uint8_t> in = {QUILLEX_ITEM_RIGHT_STICK_X, 0, 0, 0};
        for (int i = 0; i < 4; ++i) {
            in.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
        return link_->Control(IOCTL_QUILLEX_SET_VALUE, in, 0).ok;
    }

    // Waits until an event shows RIGHT_STICK_X at `value`; when it arrived.
    bool WaitForValue(uint32_t value, Clock::time_point* arrived) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(2), [&] {
            if (lastValue_ == value) {
                *arrived = lastArrival_;
                return true;
            }
            return false;
        });
    }

    size_t Events() {
        std::lock_guard<std::mutex> guard(lock_);
        return events_;
    }

    pid_t UiPid() const { return ui_.pid; }

  private:
    void Read() {
        httplib::Client client("127.0.0.1", port_);
        client.set_read_timeout(5, 0);
        std::string pending;
        static const std::string kField = "\"RIGHT_STICK_X\":";
        client.Get("/api/events?stick=0", {{"Cookie", "quillex_ui=" + token_}},
                   [&](const char* data, size_t length) {
                       Clock::time_point now = Clock::now();
                       pending.append(data, length);
                       size_t end;
                       while ((end = pending.find("\n\n")) != std::string::npos) {
                           std::string event = pending.substr(0, end);
                           pending.erase(0, end + 2);
                           size_t at = event.find(kField);
                           if (at == std::string::npos) {
                               continue;
                           }
                           std::lock_guard<std::mutex> guard(lock_);
                           lastValue_ = static_cast<uint32_t>(
                               strtoul(event.c_str() + at + kField.size(), nullptr, 10));
                           lastArrival_ = now;
                           ++events_;
                           changed_.notify_all();
                       }
                       return !stop_;
                   });
    }

    std::string quillexctl_, dir_, socket_, token_;
    Child sim_, ui_;
    int port_ = 0;
    std::unique_ptr<DeviceLink> link_;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::condition_variable changed_;
    uint32_t lastValue_ = 0xFFFFFFFF;
    Clock::time_point lastArrival_;
    size_t events_ = 0;
};

double Percentile(std::vector<double> samples, double p) {
    if (samples.empty()) {
        return 0;
    }
    std::sort(samples.begin(), samples.end());
    size_t index = static_cast<size_t>(p * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(index, samples.size() - 1)];
}

void BM_StateBlockToPageEvent(benchmark::State& state, const char* quillexctl) {
    Setup setup(quillexctl);
    std::string error;
    if (!setup.Up(&error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::vector<double> ms;
    uint32_t value = 0;
    for (auto _ : state) {
        value = (value + 37) % 256;
        Clock::time_point arrived;
        if (!setup.SetRightStickX(value)) {
            state.SkipWithError("the driver refused the state write");
            return;
        }
        Clock::time_point written = Clock::now();
        if (!setup.WaitForValue(value, &arrived)) {
            state.SkipWithError("no event carried the new state within 2 s");
            return;
        }
        double elapsed = std::chrono::duration<double, std::milli>(arrived - written).count();
        ms.push_back(std::max(0.0, elapsed));
        state.SetIterationTime(std::max(0.0, elapsed) / 1000.0);
        // Changes arrive at random points of the server's read period, as a
        // player's do.
        std::this_thread::sleep_for(std::chrono::microseconds(1000 + (value * 53) % 17000));
    }
    state.counters["p50_ms"] = Percentile(ms, 0.50);
    state.counters["p99_ms"] = Percentile(ms, 0.99);
    state.counters["max_ms"] = Percentile(ms, 1.0);
}
// Each with quillexctl's cpp-httplib server and with the builtin server that
// quillexctl.exe serves with.
BENCHMARK_CAPTURE(BM_StateBlockToPageEvent, httplib, QUILLEXCTL_PATH)
    ->UseManualTime()
    ->Iterations(600)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StateBlockToPageEvent, builtin_http, QUILLEXCTL_BUILTIN_HTTP_PATH)
    ->UseManualTime()
    ->Iterations(600)
    ->Unit(benchmark::kMillisecond);

void BM_ServerCpuAt60Hz(benchmark::State& state, const char* quillexctl) {
    Setup setup(quillexctl);
    std::string error;
    if (!setup.Up(&error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    for (auto _ : state) {
        double cpuBefore = CpuSeconds(setup.UiPid());
        size_t eventsBefore = setup.Events();
        Clock::time_point start = Clock::now();
        uint32_t value = 0;
        for (int i = 0; i < 600; ++i) { // ten seconds at 60 changes a second
            value = (value + 1) % 256;
            setup.SetRightStickX(value);
            std::this_thread::sleep_until(start + std::chrono::microseconds(16667) * (i + 1));
        }
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.counters["cpu_percent"] = 100.0 * (CpuSeconds(setup.UiPid()) - cpuBefore) / seconds;
        state.counters["events_per_s"] =
            static_cast<double>(setup.Events() - eventsBefore) / seconds;
    }
}
BENCHMARK_CAPTURE(BM_ServerCpuAt60Hz, httplib, QUILLEXCTL_PATH)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_ServerCpuAt60Hz, builtin_http, QUILLEXCTL_BUILTIN_HTTP_PATH)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
