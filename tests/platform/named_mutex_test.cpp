#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <named_mutex.h>
#include <thread.h>

#include "test_dirs.h"
#include "test_process.h"
#include "wait_until.h"

namespace {

using namespace std::chrono_literals;

class NamedMutex : public ::testing::Test {
  protected:
    void SetUp() override { dirs = &use_test_dirs(); }
    const test_dirs* dirs = nullptr;

    static std::unique_ptr<plat::named_mutex> create(const std::string& name) {
        plat::mutex_status status;
        auto mutex = plat::named_mutex::create(name, plat::mutex_access::everyone, &status);
        EXPECT_EQ(status, plat::mutex_status::ok) << name;
        return mutex;
    }
    // What another thread of this process gets from wait(milliseconds).
    static uint32_t wait_elsewhere(const std::string& name, uint32_t milliseconds) {
        uint32_t result = 0;
        auto other = plat::thread::start([&] {
            auto handle = plat::named_mutex::open(name, nullptr);
            result = handle ? handle->wait(milliseconds) : 999;
            if (result == plat::wait_object_0 || result == plat::wait_abandoned) handle->release();
            return 0u;
        });
        other->join(plat::infinite);
        return result;
    }
};

TEST_F(NamedMutex, OpenBeforeCreateIsNotFound) {
    plat::mutex_status status;
    EXPECT_EQ(plat::named_mutex::open("Global\\never_created", &status), nullptr);
    EXPECT_EQ(status, plat::mutex_status::not_found);
}

TEST_F(NamedMutex, RecursiveForTheOwnerWithAnOwnerCount) {
    auto mutex = create("Global\\recursion");
    ASSERT_TRUE(mutex);
    for (int depth = 1; depth <= 3; ++depth) {
        EXPECT_EQ(mutex->wait(0), plat::wait_object_0);
        EXPECT_EQ(mutex->owner_depth(), depth);
    }
    EXPECT_EQ(wait_elsewhere("Global\\recursion", 0), plat::wait_timeout);
    EXPECT_TRUE(mutex->release());
    EXPECT_TRUE(mutex->release());
    EXPECT_EQ(wait_elsewhere("Global\\recursion", 0), plat::wait_timeout) << "still held once";
    EXPECT_TRUE(mutex->release());
    EXPECT_FALSE(mutex->release()) << "not owned any more";
    EXPECT_EQ(wait_elsewhere("Global\\recursion", 0), plat::wait_object_0);
}

TEST_F(NamedMutex, TimeOutsAndInfiniteWait) {
    auto mutex = create("Local\\timeouts");
    ASSERT_EQ(mutex->wait(plat::infinite), plat::wait_object_0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_elsewhere("Local\\timeouts", 80), plat::wait_timeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 75ms);

    uint32_t result = 0;
    auto waiter = plat::thread::start([&] {
        auto handle = plat::named_mutex::open("Local\\timeouts", nullptr);
        result = handle->wait(plat::infinite);
        handle->release();
        return 0u;
    });
    EXPECT_FALSE(waiter->join(50)) << "waits while the mutex is held";
    EXPECT_TRUE(mutex->release());
    EXPECT_TRUE(waiter->join(5000));
    EXPECT_EQ(result, plat::wait_object_0);
}

TEST_F(NamedMutex, ClosingTheHandleReleasesTheOwner) {
    auto mutex = create("Global\\closed_while_held");
    ASSERT_EQ(mutex->wait(0), plat::wait_object_0);
    ASSERT_EQ(mutex->wait(0), plat::wait_object_0);
    mutex.reset();
    EXPECT_EQ(wait_elsewhere("Global\\closed_while_held", 0), plat::wait_object_0);
}

TEST_F(NamedMutex, NamesStayInsideTheirDirectory) {
    const std::string names[] = {
        "Global\\DAZuru11Zeriz_../../x",
        "Global\\..",
        "Global\\a/b",
        "Global\\a%2Fb",
        "Global\\" + std::string(300, 'z'),
        "Global\\" + std::string(299, 'z') + "y",
        "Global\\",
    };
    std::set<std::string> paths;
    for (const auto& name : names) {
        std::filesystem::path path = plat::mutex_lock_path(name);
        EXPECT_EQ(path.parent_path(), dirs->global_dir) << name;
        EXPECT_LE(path.filename().string().size(), 255u) << name;
        EXPECT_NE(path.filename(), "..");
        paths.insert(path);
        auto mutex = create(name);
        ASSERT_TRUE(mutex) << name;
        EXPECT_TRUE(std::filesystem::is_regular_file(path)) << name;
    }
    EXPECT_EQ(paths.size(), std::size(names)) << "distinct names map to distinct files";
    EXPECT_EQ(std::filesystem::path(plat::mutex_lock_path("q9gm_mutex_ex")).parent_path(),
              dirs->runtime_dir + "/tessvik");
}

TEST_F(NamedMutex, GlobalDirectoryAndFilesAreSharedByAllUsers) {
    auto mutex = create("Global\\shared");
    struct stat dir {
    }, file{};
    ASSERT_EQ(stat(dirs->global_dir.c_str(), &dir), 0);
    ASSERT_EQ(stat(plat::mutex_lock_path("Global\\shared").c_str(), &file), 0);
    EXPECT_EQ(dir.st_mode & 07777, 01777u);
    EXPECT_EQ(file.st_mode & 0777, 0666u);
    auto local = create("private");
    ASSERT_EQ(stat((dirs->runtime_dir + "/tessvik").c_str(), &dir), 0);
    EXPECT_EQ(dir.st_mode & 0777, 0700u);
}

// Each worker adds to a counter file by read, pause, write: without mutual
// exclusion the processes overwrite each other's increments.
constexpr int rounds = 25;
constexpr const char* counter_mutex = "Global\\counter";

int add_to_counter(void* path) {
    auto mutex = plat::named_mutex::open(counter_mutex, nullptr);
    if (!mutex) return 2;
    for (int i = 0; i < rounds; ++i) {
        if (mutex->wait(plat::infinite) != plat::wait_object_0) return 3;
        FILE* file = std::fopen(static_cast<const char*>(path), "r+");
        if (!file) return 4;
        int value = 0;
        if (std::fscanf(file, "%d", &value) != 1) value = -1000;
        usleep(500);
        std::rewind(file);
        std::fprintf(file, "%d\n", value + 1);
        std::fclose(file);
        if (!mutex->release()) return 5;
    }
    return 0;
}

TEST_F(NamedMutex, SerialisesProcesses) {
    std::string counter = dirs->root + "/counter";
    {
        FILE* file = std::fopen(counter.c_str(), "w");
        std::fputs("0\n", file);
        std::fclose(file);
    }
    auto mutex = create(counter_mutex);
    ASSERT_EQ(mutex->wait(0), plat::wait_object_0); // held while the workers start
    constexpr int workers = 3;
    pid_t children[workers];
    for (auto& child : children) {
        child = fork();
        if (child == 0) _exit(add_to_counter(counter.data()));
    }
    usleep(20000);
    ASSERT_TRUE(mutex->release());
    int parent_result = add_to_counter(counter.data());
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(parent_result, 0);
    FILE* file = std::fopen(counter.c_str(), "r");
    int value = 0;
    ASSERT_EQ(std::fscanf(file, "%d", &value), 1);
    std::fclose(file);
    EXPECT_EQ(value, (workers + 1) * rounds);
}

TEST_F(NamedMutex, OwnerDeathIsReportedAsAbandonedOnce) {
    auto mutex = create("Global\\abandoned");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        auto own = plat::named_mutex::open("Global\\abandoned", nullptr);
        if (own && own->wait(plat::infinite) == plat::wait_object_0) (void)!write(ready[1], "L", 1);
        pause(); // dies holding the mutex
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_EQ(mutex->wait(20), plat::wait_timeout) << "the child holds it";
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(mutex->wait(1000), plat::wait_abandoned);
    EXPECT_EQ(mutex->owner_depth(), 1) << "an abandoned mutex is acquired";
    EXPECT_TRUE(mutex->release());
    EXPECT_EQ(mutex->wait(0), plat::wait_object_0) << "reported once";
    EXPECT_TRUE(mutex->release());
}

// The parent's threads that wait for a mutex do not exist in a forked child:
// the child's own waits and releases of that mutex must not wait for them,
// also when fork() comes just as the parent hands the mutex to such a waiter.
TEST_F(NamedMutex, AForkedChildIsNotHeldUpByTheParentsWaiters) {
    auto mutex = create("Global\\forked");
    for (int round = 0; round < 40; ++round) {
        ASSERT_EQ(mutex->wait(0), plat::wait_object_0);
        std::atomic<pid_t> waiter_tid{0};
        auto waiter = plat::thread::start([&] {
            auto handle = plat::named_mutex::open("Global\\forked", nullptr);
            waiter_tid = gettid();
            if (handle && handle->wait(plat::infinite) == plat::wait_object_0) handle->release();
            return 0u;
        });
        // Asleep in its wait for the mutex the main thread holds.
        const auto sleeping = [&] {
            if (waiter_tid == 0) return false;
            std::ifstream stat("/proc/self/task/" + std::to_string(waiter_tid.load()) + "/stat");
            std::string text((std::istreambuf_iterator<char>(stat)), {});
            const size_t end = text.rfind(')');
            return end != std::string::npos && end + 2 < text.size() && text[end + 2] == 'S';
        };
        ASSERT_TRUE(test_support::wait_until(sleeping, 5s, 1ms));

        ASSERT_TRUE(mutex->release());
        const pid_t child = fork();
        if (child == 0) {
            auto handle = plat::named_mutex::open("Global\\forked", nullptr);
            for (int i = 0; handle && i < 3; ++i) {
                const uint32_t got = handle->wait(20);
                if (got == plat::wait_object_0 || got == plat::wait_abandoned) {
                    if (!handle->release()) _exit(2);
                } else if (got != plat::wait_timeout) {
                    _exit(1);
                }
            }
            _exit(handle ? 0 : 3);
        }
        int status = 0;
        const bool ended = test_support::wait_for_exit(child, 10s, &status);
        if (!ended) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        }
        waiter->join(plat::infinite);
        ASSERT_TRUE(ended) << "round " << round << ": the child hung in the mutex";
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
}

} // namespace
