#pragma once

// A real MQTT broker for the tests and the benchmark: Debian's mosquitto on
// 127.0.0.1 and a port that was free, with a folder of its own for its
// configuration, its persistent store and its log. It stops with its
// owner, and the kernel kills it should the test process die first.
// Beside it, a subscriber on libmosquitto that keeps every message it
// receives, and the certificates of a TLS broker made with openssl.

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mosquitto.h>
#include <mutex>
#include <netinet/in.h>
#include <pwd.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zelmora {

// A port on 127.0.0.1 that nothing listens on now.
inline int FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

// A certificate authority and a broker certificate it signed, for the
// names localhost and 127.0.0.1, made in `folder` (ca.crt, server.crt,
// server.key). False when openssl failed.
inline bool MakeTestCertificates(const std::filesystem::path& folder,
                                 const std::string& ca = "ca") {
    const std::string f = folder.string() + "/";
    std::ofstream(f + "san.cnf") << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
    const std::string curve = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const std::string commands =
        "openssl req -x509" + curve + " -keyout " + f + ca + ".key -out " + f + ca +
        ".crt -days 2 -subj /CN=Zelmora-test-" + ca +
        " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=keyCertSign,cRLSign && "
        "openssl req" +
        curve + " -keyout " + f + "server.key -out " + f +
        "server.csr -subj /CN=localhost && "
        "openssl x509 -req -in " +
        f + "server.csr -CA " + f + ca + ".crt -CAkey " + f + ca + ".key -CAcreateserial -out " +
        f + "server.crt -days 2 -extfile " + f + "san.cnf";
    return std::system(("(" + commands + ") >/dev/null 2>&1").c_str()) == 0;
}

class CTestBroker {
public:
    struct Options {
        // A TLS listener with this certificate and key.
        std::string certFile;
        std::string keyFile;
        // Users and their passwords (mosquitto_passwd); anonymous clients
        // are refused.
        std::vector<std::pair<std::string, std::string>> users;
    };

    explicit CTestBroker(std::filesystem::path folder, Options options = {})
        : m_folder(std::move(folder)), m_options(std::move(options)), m_nPort(FreeLoopbackPort()) {
        std::filesystem::create_directories(m_folder);
        std::ofstream conf(m_folder / "mosquitto.conf");
        const passwd* user = ::getpwuid(::getuid());
        conf << "listener " << m_nPort << " 127.0.0.1\n";
        if (!m_options.certFile.empty()) {
            conf << "certfile " << m_options.certFile << "\nkeyfile " << m_options.keyFile << "\n";
        }
        if (m_options.users.empty()) {
            conf << "allow_anonymous true\n";
        } else {
            const std::string passwords = (m_folder / "passwords").string();
            std::ofstream(passwords).close();
            for (const auto& [name, password] : m_options.users) {
                const std::string command = "mosquitto_passwd -b '" + passwords + "' '" + name +
                                            "' '" + password + "' >/dev/null 2>&1";
                m_bConfigured = m_bConfigured && std::system(command.c_str()) == 0;
            }
            conf << "allow_anonymous false\npassword_file " << passwords << "\n";
        }
        // Sessions and their queued messages outlive a restart; a
        // subscriber that is away for a while misses nothing.
        conf << "persistence true\npersistence_location " << m_folder.string() << "/\n"
             << "max_queued_messages 0\nmax_inflight_messages 100\n"
             << "log_dest file " << (m_folder / "broker.log").string() << "\n"
             << "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n"
             << "user " << (user != nullptr ? user->pw_name : "root") << "\n";
    }
    ~CTestBroker() { Stop(); }
    CTestBroker(const CTestBroker&) = delete;
    CTestBroker& operator=(const CTestBroker&) = delete;

    // Starts the broker and waits until it takes connections.
    bool Start() {
        if (!m_bConfigured || m_nPort == 0) {
            return false;
        }
        const std::string conf = (m_folder / "mosquitto.conf").string();
        const std::string output = (m_folder / "output.log").string();
        const pid_t parent = ::getpid();
        m_nPid = ::fork();
        if (m_nPid == 0) {
            // Killed with the thread that started it, whatever becomes of
            // the test.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) {
                ::_exit(127);
            }
            // What it says before its log is open (a warning about root).
            const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 500; ++i) {
            if (Listening()) {
                return true;
            }
            int status = 0;
            if (::waitpid(m_nPid, &status, WNOHANG) == m_nPid) {
                m_nPid = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Stops the broker and waits for it: SIGTERM lets it save its store.
    void Stop(int signal = SIGTERM) {
        if (m_nPid <= 0) {
            return;
        }
        ::kill(m_nPid, signal);
        int status = 0;
        ::waitpid(m_nPid, &status, 0);
        m_nPid = -1;
    }

    // Freezes the broker (SIGSTOP) or lets it go on (SIGCONT): its
    // connections stay open and nothing answers on them.
    void Freeze(bool frozen) {
        if (m_nPid > 0) {
            ::kill(m_nPid, frozen ? SIGSTOP : SIGCONT);
        }
    }

    int Port() const { return m_nPort; }
    std::string Url(const std::string& host = "127.0.0.1") const {
        return (m_options.certFile.empty() ? "mqtt://" : "mqtts://") + host + ":" +
               std::to_string(m_nPort);
    }
    std::string Log() const {
        std::ifstream file(m_folder / "broker.log");
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

private:
    bool Listening() const {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(m_nPort));
        const bool connected =
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return connected;
    }

    std::filesystem::path m_folder;
    Options m_options;
    int m_nPort = 0;
    bool m_bConfigured = true;
    pid_t m_nPid = -1;
};

// A client that subscribes and keeps every message, on libmosquitto's own
// network thread, and reconnects by itself when the broker goes away.
class CTestSubscriber {
public:
    struct Message {
        std::string topic;
        std::string payload;
        bool retained = false;
    };
    struct Options {
        // A session the broker keeps, with the messages for it, while the
        // subscriber is away.
        bool persistent = false;
        std::string clientId;
        std::string caFile;
        std::string host = "127.0.0.1";
    };

    CTestSubscriber(int port, Options options) : m_nPort(port), m_options(std::move(options)) {
        mosquitto_lib_init();
        m_pClient = mosquitto_new(m_options.clientId.empty() ? nullptr : m_options.clientId.c_str(),
                                  !m_options.persistent, this);
        mosquitto_int_option(m_pClient, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        mosquitto_reconnect_delay_set(m_pClient, 1, 1, false);
        mosquitto_message_callback_set(m_pClient, &CTestSubscriber::OnMessage);
        mosquitto_subscribe_callback_set(m_pClient, &CTestSubscriber::OnSubscribe);
        if (!m_options.caFile.empty()) {
            mosquitto_tls_set(m_pClient, m_options.caFile.c_str(), nullptr, nullptr, nullptr,
                              nullptr);
        }
    }
    ~CTestSubscriber() {
        mosquitto_disconnect(m_pClient);
        mosquitto_loop_stop(m_pClient, false);
        mosquitto_destroy(m_pClient);
        mosquitto_lib_cleanup();
    }
    CTestSubscriber(const CTestSubscriber&) = delete;
    CTestSubscriber& operator=(const CTestSubscriber&) = delete;

    // Connects, subscribes to `filter` with QoS 1 and waits for the
    // broker's acknowledgement.
    bool Subscribe(const std::string& filter) {
        if (mosquitto_connect(m_pClient, m_options.host.c_str(), m_nPort, 10) != MOSQ_ERR_SUCCESS ||
            mosquitto_loop_start(m_pClient) != MOSQ_ERR_SUCCESS ||
            mosquitto_subscribe(m_pClient, nullptr, filter.c_str(), 1) != MOSQ_ERR_SUCCESS) {
            return false;
        }
        return WaitFor([this](const auto&) { return m_bSubscribed; });
    }

    std::vector<Message> Messages() const {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }
    // The payload of the last message on `topic`; empty when none came.
    static std::string Last(const std::vector<Message>& messages, const std::string& topic) {
        for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
            if (it->topic == topic) {
                return it->payload;
            }
        }
        return {};
    }
    std::string Last(const std::string& topic) const { return Last(Messages(), topic); }
    // Waits until `done` holds for the messages received, at most `limit`.
    bool WaitFor(const std::function<bool(const std::vector<Message>&)>& done,
                 std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) const {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (true) {
            {
                std::lock_guard lock(m_mutex);
                if (done(m_messages)) {
                    return true;
                }
            }
            if (std::chrono::steady_clock::now() >= until) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

private:
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
        auto& subscriber = *static_cast<CTestSubscriber*>(self);
        std::lock_guard lock(subscriber.m_mutex);
        subscriber.m_messages.push_back({message->topic,
                                         std::string(static_cast<const char*>(message->payload),
                                                     static_cast<std::size_t>(message->payloadlen)),
                                         message->retain});
    }
    static void OnSubscribe(mosquitto*, void* self, int, int, const int*) {
        auto& subscriber = *static_cast<CTestSubscriber*>(self);
        std::lock_guard lock(subscriber.m_mutex);
        subscriber.m_bSubscribed = true;
    }

    int m_nPort;
    Options m_options;
    mosquitto* m_pClient = nullptr;
    mutable std::mutex m_mutex;
    std::vector<Message> m_messages;
    bool m_bSubscribed = false;
};

} // namespace zelmora
