// wellspire-devserver: the local development backend the agent talks to while unpaired.

#include "devserver/DataDir.h"
#include "devserver/DevServer.h"
#include "devserver/Options.h"
#include "devserver/PhraseList.h"
#include "devserver/Store.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#include <sys/stat.h>

namespace {

void logLine(const std::string& message) {
    static std::mutex mutex;
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
    gmtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
    std::lock_guard lock(mutex);
    std::cout << stamp << "  " << message << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    // The database and its WAL files hold what the agent reported: owner only.
    umask(077);

    const auto parsed = devserver::Options::parse(argc, argv);
    if (const auto* error = std::get_if<std::string>(&parsed)) {
        std::cerr << "wellspire-devserver: " << *error << "\n" << devserver::Options::usage;
        return 2;
    }
    const auto& options = std::get<devserver::Options>(parsed);
    if (options.help) {
        std::cout << devserver::Options::usage;
        return 0;
    }

    // Signals are taken by sigwait below, never by a handler on some server thread.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<devserver::DevServer> server;
    std::string dbPath;
    try {
        dbPath = options.dbPath.empty() ? devserver::DataDir::defaultDatabasePath() : options.dbPath;
        auto phrases = options.phrasesPath.empty() ? devserver::PhraseList::loadDefault()
                                                   : devserver::PhraseList::fromFile(options.phrasesPath);
        auto store = std::make_shared<devserver::Store>(dbPath);
        logLine("phrase list: " + std::to_string(phrases.entries().size()) + " phrases");
        server = std::make_unique<devserver::DevServer>(store, std::move(phrases), devserver::DevServer::Clock{},
                                                        logLine);
    } catch (const std::exception& e) {
        std::cerr << "wellspire-devserver: " << e.what() << "\n";
        return 1;
    }

    if (server->bind(options.port) < 0) {
        std::cerr << "wellspire-devserver: cannot listen on " << devserver::DevServer::host << ":" << options.port
                  << ": " << server->bindError() << "\n";
        return 1;
    }
    logLine("listening on http://" + std::string(devserver::DevServer::host) + ":" + std::to_string(options.port) +
            " (database " + dbPath + ")");

    std::atomic<bool> failed{false};
    std::atomic<bool> done{false};
    std::thread serving([&] {
        if (!server->serve()) {
            failed = true;
            kill(getpid(), SIGTERM);  // wakes the sigwait below
        }
        done = true;
    });

    int signal = 0;
    sigwait(&stopSignals, &signal);
    if (!failed) logLine(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    // stop() only takes effect once the listening loop runs; it does within moments of bind.
    while (!server->running() && !done) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    server->stop();
    serving.join();
    if (failed) std::cerr << "wellspire-devserver: the server stopped unexpectedly\n";
    return failed ? 1 : 0;
}
