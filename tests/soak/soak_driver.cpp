// The soak's driver: a pcscd lane of its own, two simulated tokens, four
// workers (two per token) and two recyclers (on token 0), a fault every 20 to
// 60 seconds, a watchdog for hangs, then the final check and the report
// (README.md).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <winscard.h>

#include "cardsim_harness.h"
#include "soak.h"
#include "test_process.h"
#include "wait_until.h"

extern char** environ;

namespace soak {

namespace {

namespace fs = std::filesystem;

constexpr int64_t fault_grace_ms = 20000; // a failure this soon after a fault is the fault's
constexpr int64_t hang_ms = 60000;        // a worker silent this long hangs
constexpr int64_t quiet_tail_ms = 60000;  // no fault in the last minute

std::string self_path() {
    return fs::read_symlink("/proc/self/exe").string();
}

// Starts `argv` with stdout and stderr appended to `output`; its pid, -1 on failure.
pid_t spawn(const std::vector<std::string>& args, const std::string& output) {
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Waits for `pid` at most `timeout_ms`; its exit status, or -1 when it still runs.
int wait_exit(pid_t pid, int64_t timeout_ms) {
    int status = 0;
    if (!test_support::wait_for_exit(pid, std::chrono::milliseconds(timeout_ms), &status))
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int run_command(const std::vector<std::string>& args, const std::string& output,
                int64_t timeout_ms) {
    const pid_t pid = spawn(args, output);
    if (pid < 0) return -1;
    const int rc = wait_exit(pid, timeout_ms);
    if (rc == -1) {
        kill(pid, SIGKILL);
        (void)wait_exit(pid, 5000);
    }
    return rc;
}

// Whether PC/SC shows the reader with a card (`present`) or empty within
// `timeout_ms` (a restarted pcscd is found too).
bool wait_card(const std::string& reader, bool present, int64_t timeout_ms) {
    return cardsim::test::wait_for_reader(reader, present, std::chrono::milliseconds(timeout_ms));
}

// Another application resets the card (SCardDisconnect with SCARD_RESET_CARD).
bool reset_card(const std::string& reader) {
    SCARDCONTEXT ctx = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS)
        return false;
    // Refused while the card is in another's transaction: tried again.
    const bool done = test_support::wait_until(
        [&] {
            SCARDHANDLE card = 0;
            DWORD protocol = 0;
            return SCardConnect(ctx, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card,
                                &protocol) == SCARD_S_SUCCESS &&
                   SCardDisconnect(card, SCARD_RESET_CARD) == SCARD_S_SUCCESS;
        },
        std::chrono::seconds(5), std::chrono::milliseconds(100));
    SCardReleaseContext(ctx);
    return done;
}

struct fault {
    int64_t start = 0;
    int64_t end = 0;
    std::string kind; // remove, pcscd, reset, kill
    int target = -1;  // token, or process (worker or recycler) for kill
    bool ok = true;
};

struct log_line {
    int64_t t = 0;
    int worker = 0;
    std::string op, result, detail;
    int64_t duration = 0;
};

class driver {
  public:
    explicit driver(std::map<std::string, std::string> o) : o_(std::move(o)) {
        lane_ = std::stoi(value("lane", "9"));
        seconds_ = std::stoll(value("seconds", "1200"));
        out_ = value("out", "soak-out");
        module_ = value("module", TESSVIK_MODULE_PATH);
        cardsim_ = value("cardsim", TESSVIK_SOAK_CARDSIM);
        source_ = value("source", TESSVIK_SOAK_SOURCE);
        workers_ = std::stoi(value("workers", "4"));
        recyclers_ = std::stoi(value("recyclers", "2"));
        rng_.seed(std::stoull(value("seed", std::to_string(now_ms()))));
    }

    int run() {
        fs::create_directories(out_);
        for (const auto& entry : fs::directory_iterator(out_))
            fs::remove_all(entry.path());
        if (!enter_lane()) return 1;
        say("lane " + std::to_string(lane_) + ", " + std::to_string(seconds_) + " s, " +
            std::to_string(workers_) + " workers, " + std::to_string(recyclers_) +
            " recyclers, output in " + out_);
        for (int t = 0; t < 2; ++t) {
            const int port = 35963 + 2 * lane_ + t;
            cardsims_[t] = spawn({cardsim_, "--port", std::to_string(port), "--image",
                                  out_ + "/token" + std::to_string(t) + ".img"},
                                 out_ + "/cardsim" + std::to_string(t) + ".out");
            if (cardsims_[t] < 0 || !wait_card(reader_name(t), true, 20000))
                return fail("token " + std::to_string(t) + " did not come up");
        }
        for (int t = 0; t < 2; ++t) {
            if (run_command({self_path(), "setup", "--module", module_, "--reader",
                             std::to_string(t), "--serial-out",
                             out_ + "/token" + std::to_string(t) + ".serial"},
                            out_ + "/setup.out", 120000) != 0)
                return fail("setup of token " + std::to_string(t) + " failed (" + out_ +
                            "/setup.out)");
        }
        start_ = now_ms();
        end_ = start_ + seconds_ * 1000;
        for (int w = 0; w < processes(); ++w)
            start_worker(w);
        std::vector<std::string> wanted;
        std::istringstream list(value("faults", "remove,pcscd,reset,kill"));
        for (std::string k; std::getline(list, k, ',');)
            if (k == "remove" || k == "pcscd" || k == "reset" || k == "kill") wanted.push_back(k);
        int64_t next_fault = wanted.empty() ? INT64_MAX : start_ + pick(20000, 60000);
        std::vector<std::string> kinds;
        while (now_ms() < end_) {
            watch();
            if (now_ms() >= next_fault && now_ms() < end_ - quiet_tail_ms) {
                if (kinds.empty()) {
                    kinds = wanted;
                    std::shuffle(kinds.begin(), kinds.end(), rng_);
                }
                inject(kinds.back());
                kinds.pop_back();
                next_fault = now_ms() + pick(20000, 60000);
            }
            pause_ms(250);
        }
        stop_workers();
        const int check_rc =
            run_command({self_path(), "check", "--module", module_, "--out", out_, "--workers",
                         std::to_string(workers_), "--recyclers", std::to_string(recyclers_)},
                        out_ + "/check.txt", 180000);
        for (pid_t p : cardsims_)
            if (p > 0) kill(p, SIGTERM);
        for (pid_t p : cardsims_)
            if (p > 0 && wait_exit(p, 10000) == -1) kill(p, SIGKILL);
        (void)run_command(
            {"bash", source_ + "/scripts/pcscd.sh", "stop", "--lane", std::to_string(lane_)},
            out_ + "/pcscd.out", 60000);
        report(check_rc);
        return 0;
    }

  private:
    std::string value(const char* name, const std::string& otherwise) const {
        const auto it = o_.find(name);
        return it != o_.end() ? it->second : otherwise;
    }
    int64_t pick(int64_t low, int64_t high) {
        return low + static_cast<int64_t>(rng_() % static_cast<uint64_t>(high - low + 1));
    }
    void say(const std::string& text) {
        std::printf("[soak %lld s] %s\n", static_cast<long long>((now_ms() - begun_) / 1000),
                    text.c_str());
        std::fflush(stdout);
    }
    int fail(const std::string& text) {
        say("error: " + text);
        for (pid_t p : cardsims_)
            if (p > 0) kill(p, SIGTERM);
        for (const auto& [w, p] : worker_pids_)
            kill(p, SIGKILL);
        return 1;
    }

    // The lane's pcscd, its environment for every child, and its lock (so
    // that no test run takes the lane meanwhile).
    bool enter_lane() {
        const std::string lane = std::to_string(lane_);
        setenv("TESSVIK_TEST_LANE", lane.c_str(), 1);
        if (lane_ != 0) {
            setenv("PCSCLITE_CSOCK_NAME",
                   ("/run/tessvik-pcscd/lane-" + lane + "/run/pcscd.comm").c_str(), 1);
            const std::string locks = "/tmp/tessvik-locks";
            fs::create_directories(locks);
            chmod(locks.c_str(), 01777);
            setenv("TESSVIK_LOCK_DIR", (locks + "/lane-" + lane).c_str(), 1);
        }
        const std::string lock = lane_ == 0 ? "/tmp/tessvik-pcscd-tests.lock"
                                            : "/tmp/tessvik-pcscd-tests.lane-" + lane + ".lock";
        lock_fd_ = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        const bool locked =
            lock_fd_ >= 0 &&
            test_support::wait_until([&] { return flock(lock_fd_, LOCK_EX | LOCK_NB) == 0; },
                                     std::chrono::seconds(300), std::chrono::milliseconds(100));
        if (!locked) return fail("lane lock " + lock + " not taken"), false;
        if (run_command({"bash", source_ + "/scripts/pcscd.sh", "start", "--lane", lane},
                        out_ + "/pcscd.out", 120000) != 0)
            return fail("pcscd lane " + lane + " did not start (" + out_ + "/pcscd.out)"), false;
        return true;
    }

    // Workers 0 .. workers_ - 1, then the recyclers; the logs and journals
    // are wN for both.
    int processes() const { return workers_ + recyclers_; }
    bool is_recycler(int w) const { return w >= workers_; }
    int token_of(int w) const { return is_recycler(w) ? recycle_token : w / (workers_ / 2); }

    void start_worker(int w) {
        const std::string id = std::to_string(w);
        const std::string serial = [&] {
            std::ifstream in(out_ + "/token" + std::to_string(token_of(w)) + ".serial");
            std::string s;
            std::getline(in, s);
            return s;
        }();
        worker_pids_[w] =
            spawn({self_path(), is_recycler(w) ? "recycler" : "worker", "--module", module_, "--id",
                   id, "--serial", serial, "--log", out_ + "/w" + id + ".log", "--journal",
                   out_ + "/w" + id + ".journal", "--until", std::to_string(end_ + 30000)},
                  out_ + "/w" + id + ".out");
        worker_started_[w] = now_ms();
    }

    // Restarts workers that ended and kills those that hang.
    void watch() {
        for (int w = 0; w < processes(); ++w) {
            const pid_t p = worker_pids_[w];
            int status = 0;
            if (waitpid(p, &status, WNOHANG) == p) {
                say("worker " + std::to_string(w) + " ended by itself (status " +
                    std::to_string(status) + "): started again");
                ++unexpected_exits_;
                start_worker(w);
                continue;
            }
            struct stat st {};
            const std::string log = out_ + "/w" + std::to_string(w) + ".log";
            const int64_t last =
                stat(log.c_str(), &st) == 0
                    ? static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000
                    : worker_started_[w];
            const int64_t quiet = now_ms() - std::max(last, worker_started_[w]);
            if (quiet > hang_ms) {
                say("worker " + std::to_string(w) + " silent for " + std::to_string(quiet / 1000) +
                    " s: a hang; killed and started again");
                hangs_.push_back("worker " + std::to_string(w) + " silent " +
                                 std::to_string(quiet / 1000) + " s at +" +
                                 std::to_string((now_ms() - start_) / 1000) + " s");
                kill(p, SIGKILL);
                (void)wait_exit(p, 10000);
                start_worker(w);
            }
        }
    }

    void inject(const std::string& kind) {
        fault f;
        f.kind = kind;
        f.start = now_ms();
        if (kind == "remove") {
            f.target = static_cast<int>(pick(0, 1));
            kill(cardsims_[f.target], SIGUSR1);
            f.ok = wait_card(reader_name(f.target), false, 10000);
            pause_ms(static_cast<int>(pick(2000, 6000)));
            kill(cardsims_[f.target], SIGUSR2);
            f.ok = wait_card(reader_name(f.target), true, 15000) && f.ok;
        } else if (kind == "pcscd") {
            const std::string lane = std::to_string(lane_);
            f.ok = run_command({"bash", source_ + "/scripts/pcscd.sh", "stop", "--lane", lane},
                               out_ + "/pcscd.out", 60000) == 0;
            f.ok = run_command({"bash", source_ + "/scripts/pcscd.sh", "start", "--lane", lane},
                               out_ + "/pcscd.out", 120000) == 0 &&
                   f.ok;
            f.ok = wait_card(reader_name(0), true, 30000) && f.ok;
            f.ok = wait_card(reader_name(1), true, 30000) && f.ok;
        } else if (kind == "reset") {
            f.target = static_cast<int>(pick(0, 1));
            f.ok = reset_card(reader_name(f.target));
        } else {
            f.target = static_cast<int>(pick(0, processes() - 1));
            kill(worker_pids_[f.target], SIGKILL);
            (void)wait_exit(worker_pids_[f.target], 10000);
            pause_ms(static_cast<int>(pick(200, 2000)));
            start_worker(f.target);
        }
        f.end = now_ms();
        say("fault " + kind + (f.target >= 0 ? " " + std::to_string(f.target) : "") + ": " +
            std::to_string(f.end - f.start) + " ms" + (f.ok ? "" : " (did not go as planned)"));
        faults_.push_back(f);
        std::ofstream(out_ + "/faults.log", std::ios::app)
            << f.start << " " << f.end << " " << f.kind << " " << f.target << " " << f.ok << "\n";
    }

    void stop_workers() {
        for (const auto& [w, p] : worker_pids_)
            kill(p, SIGTERM);
        for (const auto& [w, p] : worker_pids_) {
            if (wait_exit(p, 60000) != -1) continue;
            hangs_.push_back("worker " + std::to_string(w) + " did not stop within 60 s");
            kill(p, SIGKILL);
            (void)wait_exit(p, 10000);
        }
    }

    std::vector<log_line> read_logs() const {
        std::vector<log_line> lines;
        for (int w = 0; w < processes(); ++w) {
            std::ifstream in(out_ + "/w" + std::to_string(w) + ".log");
            std::string text;
            while (std::getline(in, text)) {
                std::istringstream fields(text);
                log_line l;
                l.worker = w;
                if (!(fields >> l.t >> l.op >> l.result >> l.duration)) continue;
                std::getline(fields, l.detail);
                lines.push_back(l);
            }
        }
        std::sort(lines.begin(), lines.end(),
                  [](const log_line& a, const log_line& b) { return a.t < b.t; });
        return lines;
    }

    bool in_fault_window(int64_t t) const {
        for (const fault& f : faults_)
            if (t >= f.start - 1000 && t <= f.end + fault_grace_ms) return true;
        return false;
    }

    bool affects(const fault& f, int w) const {
        if (f.kind == "pcscd") return true;
        if (f.kind == "kill") return f.target == w;
        return token_of(w) == f.target;
    }

    void report(int check_rc) {
        const auto lines = read_logs();
        std::map<std::string, int> ops, by_code_in, by_code_out;
        std::vector<std::string> outside, stale;
        int64_t total = 0, failed = 0, long_ops = 0, stale_count = 0;
        for (const log_line& l : lines) {
            if (l.op == "start" || l.op == "stop") continue;
            ++total;
            ++ops[l.op];
            if (l.duration > hang_ms / 2) ++long_ops;
            if (l.result == "CKR_OK") continue;
            ++failed;
            const std::string key = l.op + " " + l.result;
            const std::string line = "+" + std::to_string((l.t - start_) / 1000) + " s w" +
                                     std::to_string(l.worker) + " " + key + l.detail;
            if (is_stale_failure(l.result) && ++stale_count <= 40) stale.push_back(line);
            if (in_fault_window(l.t)) {
                ++by_code_in[key];
            } else {
                ++by_code_out[key];
                if (outside.size() < 40) outside.push_back(line);
            }
        }
        std::ostringstream r;
        r << "Soak report: " << seconds_ << " s, " << workers_ << " workers and " << recyclers_
          << " recyclers on 2 tokens, lane " << lane_ << "\n";
        r << "calls: " << total << " (";
        for (const auto& [op, n] : ops)
            r << op << " " << n << ", ";
        r << "failed " << failed << ")\n";
        r << "faults: " << faults_.size();
        std::map<std::string, int> kinds;
        for (const fault& f : faults_)
            ++kinds[f.kind];
        for (const auto& [k, n] : kinds)
            r << ", " << k << " " << n;
        r << "\n";
        r << "failures within a fault window (start - 1 s .. end + " << fault_grace_ms / 1000
          << " s):\n";
        for (const auto& [k, n] : by_code_in)
            r << "  " << n << "  " << k << "\n";
        r << "failures outside every fault window:\n";
        for (const auto& [k, n] : by_code_out)
            r << "  " << n << "  " << k << "\n";
        for (const std::string& o : outside)
            r << "    " << o << "\n";
        r << "stale-handle failures, within a fault window or not: " << stale_count << "\n";
        for (const std::string& o : stale)
            r << "    " << o << "\n";
        r << "hangs (a call over " << hang_ms / 2000 << " s: " << long_ops
          << "; watchdog: " << hangs_.size()
          << "; workers that ended by themselves: " << unexpected_exits_ << ")\n";
        for (const std::string& h : hangs_)
            r << "  " << h << "\n";
        r << "recovery after each fault (end of fault until every affected worker has signed\n"
             "and worked on a data object again, and every affected recycler has recycled):\n";
        std::vector<int64_t> recoveries;
        for (const fault& f : faults_) {
            int64_t worst = 0;
            bool all = true;
            for (int w = 0; w < processes(); ++w) {
                if (!affects(f, w)) continue;
                // A recycler signs only in probes: its recycling is enough.
                int64_t signed_at = is_recycler(w) ? f.end : -1, data_at = -1;
                for (const log_line& l : lines) {
                    if (l.worker != w || l.t < f.end || l.result != "CKR_OK") continue;
                    if (is_recycler(w)) {
                        if (l.op != "recycle") continue;
                        data_at = l.t;
                        break;
                    }
                    if (l.op == "sign" && signed_at < 0) signed_at = l.t;
                    if ((l.op == "create" || l.op == "read" || l.op == "destroy" ||
                         l.op == "resolve") &&
                        data_at < 0)
                        data_at = l.t;
                    if (signed_at >= 0 && data_at >= 0) break;
                }
                if (signed_at < 0 || data_at < 0)
                    all = false;
                else
                    worst = std::max(worst, std::max(signed_at, data_at) - f.end);
            }
            r << "  +" << (f.start - start_) / 1000 << " s " << f.kind
              << (f.target >= 0 ? " " + std::to_string(f.target) : "") << " (" << f.end - f.start
              << " ms): ";
            if (all) {
                r << worst << " ms\n";
                recoveries.push_back(worst);
            } else {
                r << "no success afterwards\n";
            }
        }
        if (!recoveries.empty()) {
            std::sort(recoveries.begin(), recoveries.end());
            r << "  median " << recoveries[recoveries.size() / 2] << " ms, max "
              << recoveries.back() << " ms\n";
        }
        r << "final check (" << (check_rc == 0 ? "ran" : "failed: " + std::to_string(check_rc))
          << "):\n";
        std::ifstream check(out_ + "/check.txt");
        for (std::string l; std::getline(check, l);)
            r << "  " << l << "\n";
        std::ofstream(out_ + "/report.txt") << r.str();
        std::printf("%s", r.str().c_str());
    }

    std::map<std::string, std::string> o_;
    int lane_ = 9;
    int64_t seconds_ = 1200;
    std::string out_, module_, cardsim_, source_;
    int workers_ = 4;
    int recyclers_ = 2;
    std::mt19937_64 rng_;
    int lock_fd_ = -1;
    pid_t cardsims_[2] = {-1, -1};
    std::map<int, pid_t> worker_pids_;
    std::map<int, int64_t> worker_started_;
    std::vector<fault> faults_;
    std::vector<std::string> hangs_;
    int unexpected_exits_ = 0;
    int64_t begun_ = now_ms();
    int64_t start_ = 0;
    int64_t end_ = 0;
};

} // namespace

// run [--seconds S] [--lane K] [--out DIR] [--seed N] [--faults KINDS] [--workers N]
//     [--recyclers N] [--module M] [--cardsim C] [--source DIR]
int run_driver(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    driver d(options(argc, argv));
    return d.run();
}

} // namespace soak
