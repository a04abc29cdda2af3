#include "tls.hpp"

#include <mutex>

#ifdef SEGMORPH_TLS
#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <cerrno>
#include <cstring>
#endif

#include "errors.hpp"

namespace segmorph::cli {

#ifdef SEGMORPH_TLS

namespace {

// The reasons OpenSSL queued, oldest first, or `fallback`.
std::string openssl_errors(const char* fallback) {
    std::string out;
    while (const unsigned long code = ERR_get_error()) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        // "error:0A000086:SSL routines::certificate verify failed": the
        // reason is the part after the last colon.
        std::string_view reason = text;
        if (const std::size_t colon = reason.rfind(':'); colon != std::string_view::npos)
            reason.remove_prefix(colon + 1);
        if (!out.empty()) out += "; ";
        out += reason;
    }
    return out.empty() ? fallback : out;
}

struct CtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using CtxPtr = std::unique_ptr<SSL_CTX, CtxFree>;

}  // namespace

struct TlsContext::State {
    std::mutex mutex;
    CtxPtr ctx;
    SSL_SESSION* last_session = nullptr;  // client: to resume on the next connection
    ~State() {
        if (last_session) SSL_SESSION_free(last_session);
    }
};

struct TlsStream::State {
    SSL* ssl = nullptr;
    TlsContext* context = nullptr;
    ~State() {
        if (ssl) SSL_free(ssl);
    }
};

namespace {

int remember_session(SSL* ssl, SSL_SESSION* session) {
    auto* state = static_cast<TlsContext::State*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->last_session) SSL_SESSION_free(state->last_session);
    state->last_session = session;
    return 1;  // the session is ours now
}

CtxPtr make_context(bool server, const TlsFiles& files, TlsContext::State* state, std::string& error) {
    ERR_clear_error();
    CtxPtr ctx(SSL_CTX_new(server ? TLS_server_method() : TLS_client_method()));
    if (!ctx) {
        error = "TLS: " + openssl_errors("cannot make a context");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    // MLLP has its own frames: a peer that closes without close_notify
    // loses only a frame it had not finished, which is dropped anyway.
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
    // Idle connections give back their record buffers.
    SSL_CTX_set_mode(ctx.get(),
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
    auto fail = [&](const std::string& what) {
        error = what + ": " + openssl_errors("unusable");
        return nullptr;
    };
    if (!files.cert.empty() && SSL_CTX_use_certificate_chain_file(ctx.get(), files.cert.c_str()) != 1)
        return fail("cannot use certificate " + quote_input(files.cert));
    if (!files.key.empty() && SSL_CTX_use_PrivateKey_file(ctx.get(), files.key.c_str(), SSL_FILETYPE_PEM) != 1)
        return fail("cannot use key " + quote_input(files.key));
    if (!files.cert.empty() && !files.key.empty() && SSL_CTX_check_private_key(ctx.get()) != 1)
        return fail("the key " + quote_input(files.key) + " does not match the certificate");
    if (server) {
        static const unsigned char kSessionContext[] = "segmorph-listen";
        SSL_CTX_set_session_id_context(ctx.get(), kSessionContext, sizeof kSessionContext - 1);
        if (!files.ca.empty()) {
            if (SSL_CTX_load_verify_locations(ctx.get(), files.ca.c_str(), nullptr) != 1)
                return fail("cannot use client CAs " + quote_input(files.ca));
            SSL_CTX_set_client_CA_list(ctx.get(), SSL_load_client_CA_file(files.ca.c_str()));
            SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        }
    } else {
        if (files.ca.empty() ? SSL_CTX_set_default_verify_paths(ctx.get()) != 1
                             : SSL_CTX_load_verify_locations(ctx.get(), files.ca.c_str(), nullptr) != 1)
            return fail(files.ca.empty() ? std::string("cannot load the system's CAs")
                                         : "cannot use CAs " + quote_input(files.ca));
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(ctx.get(), remember_session);
    }
    SSL_CTX_set_app_data(ctx.get(), state);
    return ctx;
}

}  // namespace

bool tls_available() { return true; }

TlsContext::TlsContext(bool server, TlsFiles files)
    : server_(server), files_(std::move(files)), state_(std::make_unique<State>()) {}

TlsContext::~TlsContext() = default;

std::unique_ptr<TlsContext> TlsContext::server(const TlsFiles& files, std::string& error) {
    std::unique_ptr<TlsContext> c(new TlsContext(true, files));
    c->state_->ctx = make_context(true, files, c->state_.get(), error);
    if (!c->state_->ctx) return nullptr;
    return c;
}

std::unique_ptr<TlsContext> TlsContext::client(const TlsFiles& files, std::string& error) {
    std::unique_ptr<TlsContext> c(new TlsContext(false, files));
    c->state_->ctx = make_context(false, files, c->state_.get(), error);
    if (!c->state_->ctx) return nullptr;
    return c;
}

bool TlsContext::reload(std::string& error) {
    CtxPtr fresh = make_context(server_, files_, state_.get(), error);
    if (!fresh) return false;
    // Streams hold a reference to the context they began with.
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->ctx.swap(fresh);
    return true;
}

std::unique_ptr<TlsStream> TlsStream::over(TlsContext& context, int fd, std::string& error) {
    std::unique_ptr<TlsStream> s(new TlsStream());
    s->state_ = std::make_unique<State>();
    s->state_->context = &context;
    ERR_clear_error();
    {
        std::lock_guard<std::mutex> lock(context.state_->mutex);
        s->state_->ssl = SSL_new(context.state_->ctx.get());
        if (s->state_->ssl && !context.server_ && context.state_->last_session)
            SSL_set_session(s->state_->ssl, context.state_->last_session);
    }
    SSL* ssl = s->state_->ssl;
    if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1) {
        error = openssl_errors("cannot start TLS");
        return nullptr;
    }
    if (context.server_) {
        SSL_set_accept_state(ssl);
        return s;
    }
    SSL_set_connect_state(ssl);
    const std::string& name = context.files_.server_name;
    in6_addr ip{};
    const bool literal = ::inet_pton(AF_INET, name.c_str(), &ip) == 1 || ::inet_pton(AF_INET6, name.c_str(), &ip) == 1;
    // The name the certificate must hold: a host name, or an address
    // (which a certificate names in its IP entries, and SNI never carries).
    if (literal) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl, name.c_str());
        SSL_set1_host(ssl, name.c_str());
    }
    return s;
}

TlsStream::~TlsStream() = default;

Io TlsStream::result(int rc, const char* what) {
    const int code = SSL_get_error(state_->ssl, rc);
    switch (code) {
        case SSL_ERROR_WANT_READ: return Io::WantRead;
        case SSL_ERROR_WANT_WRITE: return Io::WantWrite;
        case SSL_ERROR_ZERO_RETURN: return Io::Closed;
        case SSL_ERROR_SYSCALL:
            if (errno == 0 || errno == ECONNRESET) {
                error_ = errno == 0 ? "connection closed" : std::strerror(errno);
                ERR_clear_error();
                return established_ ? Io::Closed : Io::Failed;
            }
            error_ = std::strerror(errno);
            ERR_clear_error();
            return Io::Failed;
        default: {
            error_ = openssl_errors(what);
            const long verify = SSL_get_verify_result(state_->ssl);
            if (verify != X509_V_OK) error_ += std::string(" (") + X509_verify_cert_error_string(verify) + ")";
            return Io::Failed;
        }
    }
}

Io TlsStream::handshake() {
    ERR_clear_error();
    errno = 0;
    const int rc = SSL_do_handshake(state_->ssl);
    if (rc == 1) {
        established_ = true;
        return Io::Done;
    }
    return result(rc, "handshake failed");
}

Io TlsStream::read(char* out, std::size_t size, std::size_t& got) {
    ERR_clear_error();
    errno = 0;
    const int rc = SSL_read_ex(state_->ssl, out, size, &got);
    return rc == 1 ? Io::Done : result(rc, "read failed");
}

Io TlsStream::write(const char* data, std::size_t size, std::size_t& put) {
    ERR_clear_error();
    errno = 0;
    const int rc = SSL_write_ex(state_->ssl, data, size, &put);
    return rc == 1 ? Io::Done : result(rc, "write failed");
}

bool TlsStream::pending() const { return SSL_pending(state_->ssl) > 0; }

bool TlsStream::resumed() const { return SSL_session_reused(state_->ssl) == 1; }

void TlsStream::close_notify() {
    ERR_clear_error();
    SSL_shutdown(state_->ssl);
    ERR_clear_error();
}

#else  // built without OpenSSL

namespace {
constexpr const char* kNoTls = "this segmorph was built without TLS (OpenSSL 3 was not found)";
}

struct TlsContext::State {};
struct TlsStream::State {};

bool tls_available() { return false; }
TlsContext::TlsContext(bool server, TlsFiles files) : server_(server), files_(std::move(files)) {}
TlsContext::~TlsContext() = default;
std::unique_ptr<TlsContext> TlsContext::server(const TlsFiles&, std::string& error) {
    error = kNoTls;
    return nullptr;
}
std::unique_ptr<TlsContext> TlsContext::client(const TlsFiles&, std::string& error) {
    error = kNoTls;
    return nullptr;
}
bool TlsContext::reload(std::string& error) {
    error = kNoTls;
    return false;
}
std::unique_ptr<TlsStream> TlsStream::over(TlsContext&, int, std::string& error) {
    error = kNoTls;
    return nullptr;
}
TlsStream::~TlsStream() = default;
Io TlsStream::result(int, const char*) { return Io::Failed; }
Io TlsStream::handshake() { return Io::Failed; }
Io TlsStream::read(char*, std::size_t, std::size_t&) { return Io::Failed; }
Io TlsStream::write(const char*, std::size_t, std::size_t&) { return Io::Failed; }
bool TlsStream::pending() const { return false; }
bool TlsStream::resumed() const { return false; }
void TlsStream::close_notify() {}

#endif

}  // namespace segmorph::cli
