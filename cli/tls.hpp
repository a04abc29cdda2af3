// TLS for listen and send, on the system's OpenSSL 3: TLS 1.2 and 1.3
// only, the library's default ciphers, peers verified by default.
//
// Streams are non-blocking: each call does what the socket allows and says
// what it waits for (Io), so the listener's event loop and send's blocking
// loop drive the same code.  Built without OpenSSL, contexts cannot be made
// and say so; nothing else changes.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace segmorph::cli {

// Whether this build has TLS.
bool tls_available();

enum class Io { Done, WantRead, WantWrite, Closed, Failed };

struct TlsFiles {
    std::string cert, key;    // our certificate chain and key (PEM); optional for a client
    std::string ca;           // server: client CAs (client certificates then required); client: trusted CAs
                              // (default: the system's)
    std::string server_name;  // client: the name the server's certificate must hold
};

class TlsContext {
public:
    static std::unique_ptr<TlsContext> server(const TlsFiles& files, std::string& error);
    static std::unique_ptr<TlsContext> client(const TlsFiles& files, std::string& error);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    // Reads the files again (a renewed certificate); streams already open
    // keep the one they began with.  False with `error` set, and the old
    // files kept, when the new ones cannot be used.
    bool reload(std::string& error);

    struct State;

private:
    friend class TlsStream;
    TlsContext(bool server, TlsFiles files);
    bool server_;
    TlsFiles files_;
    std::unique_ptr<State> state_;
};

class TlsStream {
public:
    // A stream over the connected socket `fd` (not owned), to accept or to
    // open as the context's side says.  Null with `error` set on failure.
    static std::unique_ptr<TlsStream> over(TlsContext& context, int fd, std::string& error);
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    Io handshake();
    bool established() const { return established_; }
    // Reads up to `size` bytes into `out` (`got` set on Done).
    Io read(char* out, std::size_t size, std::size_t& got);
    // Writes up to `size` bytes (`put` set on Done).
    Io write(const char* data, std::size_t size, std::size_t& put);
    // Bytes decrypted and waiting, which no socket event will announce.
    bool pending() const;
    // Why the last call failed, safe to print.
    const std::string& error() const { return error_; }
    // Whether the handshake resumed an earlier session.
    bool resumed() const;
    // Sends close_notify, without waiting for the peer's.
    void close_notify();

    struct State;

private:
    TlsStream() = default;
    Io result(int rc, const char* what);
    std::unique_ptr<State> state_;
    bool established_ = false;
    std::string error_;
};

}  // namespace segmorph::cli
