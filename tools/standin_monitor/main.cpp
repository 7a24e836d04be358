// A stand-in for the remote debugger monitor: takes the monitor's command
// line, listens on its /port (dual stack) and echoes every connection's bytes
// back, one thread per connection, until it is killed.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "net/TcpSocket.h"
#include "platform/Thread.h"

using namespace net;

namespace {

// The connections being echoed, so that every echo thread can be woken and
// joined before the program returns.
class Echoes {
  public:
    ~Echoes() {
        {
            std::lock_guard guard(lock_);
            for (const TcpSocket& connection : open_)
                connection.Shutdown();
        }
        threads_.JoinAll();
    }

    void Start(TcpSocket connection) {
        {
            std::lock_guard guard(lock_);
            open_.push_back(connection);
        }
        if (!threads_.Start([this, connection] {
                Echo(connection);
                Forget(connection);
            }))
            Forget(connection);
    }

  private:
    static void Echo(TcpSocket connection);

    void Forget(TcpSocket connection) {
        {
            std::lock_guard guard(lock_);
            std::erase_if(open_,
                          [&](const TcpSocket& c) { return c.Handle() == connection.Handle(); });
        }
        connection.Close();
    }

    std::mutex lock_;  // guards open_
    std::vector<TcpSocket> open_;
    platform::ThreadSet threads_;
};

void Echoes::Echo(TcpSocket connection) {
    std::vector<std::uint8_t> buffer(65536);
    for (;;) {
        const int got = connection.Receive(buffer.data(), buffer.size(), false);
        if (got <= 0)
            break;
        if (connection.Send(buffer.data(), static_cast<std::size_t>(got), true) != got)
            break;
    }
}

bool ParseNumber(const char* text, int& out) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 0 || value > 65535)
        return false;
    out = static_cast<int>(value);
    return true;
}

int Usage(const char* problem) {
    std::fprintf(stderr, "standin_monitor: %s\n", problem);
    std::fprintf(stderr,
                 "usage: standin_monitor /port N [/timeout MS] [/noauth] [/anyuser] "
                 "[/nosecuritywarn] [/noclrwarn] [/nowowwarn]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "/port" || arg == "/timeout") {
            int value = 0;
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], value))
                return Usage("missing or bad number after an option");
            if (arg == "/port")
                port = value;
            ++i;
        } else if (arg != "/noauth" && arg != "/anyuser" && arg != "/nosecuritywarn" &&
                   arg != "/noclrwarn" && arg != "/nowowwarn") {
            return Usage("unknown argument");
        }
    }
    if (port == 0)
        return Usage("no /port given");

    TcpSocket listener(kInvalidSocket);
    if (!Ok(listener.Create(AF_INET6)) || !Ok(listener.BindAndListen(port))) {
        std::fprintf(stderr, "standin_monitor: cannot listen on port %d\n", port);
        return 1;
    }
    Echoes echoes;
    for (;;) {
        TcpSocket connection = listener.Accept();
        if (!connection.IsValid())
            return 1;
        connection.SetNoDelay();
        echoes.Start(std::move(connection));
    }
}
