"""MLLP over TLS: segmorph listen against Python's ssl client, segmorph send
against Python's ssl server, with certificates made here by the openssl
command (loopback only)."""

import shutil
import signal
import socket
import ssl
import subprocess
import threading
import time

import hl7
import pytest

from test_cli import COMMAND, ENV
from test_listen import EB, SB, ack_of, frame, listening, message, msa
from test_listen_peers import free_port, scrape

pytestmark = pytest.mark.skipif(shutil.which("openssl") is None, reason="needs the openssl command")


def openssl(*args):
    subprocess.run(["openssl", *map(str, args)], check=True, capture_output=True, timeout=60)


class Pki:
    """A CA, and certificates it signed (or not) in a folder."""

    def __init__(self, folder):
        self.folder = folder
        self.ca = self._ca("ca")
        self.other_ca = self._ca("other-ca")
        self.server = self.issue("server", "localhost", "DNS:localhost,IP:127.0.0.1")
        self.renewed = self.issue("renewed", "localhost", "DNS:localhost,IP:127.0.0.1")
        self.client = self.issue("client", "sender", "DNS:sender")
        self.wrong_name = self.issue("wrong-name", "elsewhere.example", "DNS:elsewhere.example")
        self.expired = self.issue("expired", "localhost", "DNS:localhost,IP:127.0.0.1", days=-1)
        self.unknown = self.issue("unknown", "localhost", "DNS:localhost,IP:127.0.0.1", ca="other-ca")

    def _ca(self, name):
        f = self.folder
        # With the extensions a strict verifier (Python 3.13's default)
        # asks of a CA.
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-keyout", f / f"{name}.key", "-out", f / f"{name}.pem", "-subj", f"/CN={name}", "-days", 2,
                "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        return f / f"{name}.pem"

    def issue(self, name, cn, san, days=2, ca="ca"):
        f = self.folder
        (f / f"{name}.ext").write_text(f"subjectAltName={san}\n"
                                       "basicConstraints=CA:FALSE\n"
                                       "keyUsage=critical,digitalSignature,keyAgreement\n"
                                       "extendedKeyUsage=serverAuth,clientAuth\n"
                                       "subjectKeyIdentifier=hash\n"
                                       "authorityKeyIdentifier=keyid,issuer\n")
        openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", f / f"{name}.key",
                "-out", f / f"{name}.csr", "-subj", f"/CN={cn}")
        openssl("x509", "-req", "-in", f / f"{name}.csr", "-CA", f / f"{ca}.pem", "-CAkey", f / f"{ca}.key",
                "-CAcreateserial", "-out", f / f"{name}.pem", "-days", days, "-extfile", f / f"{name}.ext")
        return f / f"{name}.pem", f / f"{name}.key"


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    return Pki(tmp_path_factory.mktemp("pki"))


def client_context(pki, cert=None):
    ctx = ssl.create_default_context(cafile=str(pki.ca))
    if cert:
        ctx.load_cert_chain(*map(str, cert))
    return ctx


def exchange(sock, text):
    sock.sendall(frame(text))
    raw = b""
    while not raw.endswith(EB + b"\r"):
        chunk = sock.recv(65536)
        if not chunk:
            return None
        raw += chunk
    return msa(ack_of(raw))


def tls_listening(tmp_path, pki, *args, cert=None):
    cert, key = cert or pki.server
    return listening(tmp_path, "--tls-cert", cert, "--tls-key", key, *args)


# ------------------------------------------------------------------ listen

def test_listen_serves_tls_and_resumes_sessions(tmp_path, pki):
    ctx = client_context(pki)
    with tls_listening(tmp_path, pki) as listener:
        with socket.create_connection(("127.0.0.1", listener.port), timeout=10) as raw:
            with ctx.wrap_socket(raw, server_hostname="localhost") as tls:
                assert tls.version() in ("TLSv1.2", "TLSv1.3")
                for i in range(3):
                    assert exchange(tls, message(f"T{i}")) == ("AA", f"T{i}")
                session = tls.session
        with socket.create_connection(("127.0.0.1", listener.port), timeout=10) as raw:
            with ctx.wrap_socket(raw, server_hostname="localhost", session=session) as tls:
                assert tls.session_reused
                assert exchange(tls, message("T3")) == ("AA", "T3")
        rc, err = listener.stop()
        lines = listener.lines()
    assert rc == 0, err
    assert [line["records"][0]["9"] for line in lines] == ["T0", "T1", "T2", "T3"]


def test_tls_1_2_is_served_too(tmp_path, pki):
    ctx = client_context(pki)
    ctx.maximum_version = ssl.TLSVersion.TLSv1_2
    with tls_listening(tmp_path, pki) as listener:
        with socket.create_connection(("127.0.0.1", listener.port), timeout=10) as raw:
            with ctx.wrap_socket(raw, server_hostname="localhost") as tls:
                assert tls.version() == "TLSv1.2"
                assert exchange(tls, message("V12")) == ("AA", "V12")
        rc, err = listener.stop()
    assert rc == 0


@pytest.mark.parametrize("cert", [None, "client", "unknown"])
def test_client_certificates_when_required(tmp_path, pki, cert):
    ctx = client_context(pki, getattr(pki, cert) if cert else None)
    with tls_listening(tmp_path, pki, "--tls-client-ca", pki.ca) as listener:
        with socket.create_connection(("127.0.0.1", listener.port), timeout=10) as raw:
            try:
                with ctx.wrap_socket(raw, server_hostname="localhost") as tls:
                    # with TLS 1.3 the refusal shows at the first read
                    got = exchange(tls, message("C1"))
            except (ssl.SSLError, ConnectionError):
                got = None
        # the listener goes on for those it can verify
        with socket.create_connection(("127.0.0.1", listener.port), timeout=10) as raw:
            with client_context(pki, pki.client).wrap_socket(raw, server_hostname="localhost") as tls:
                assert exchange(tls, message("C2")) == ("AA", "C2")
        rc, err = listener.stop()
    assert rc == 0
    if cert == "client":
        assert got == ("AA", "C1")
    else:
        assert got is None
        assert "127.0.0.1:" in err and "TLS handshake failed" in err
        assert ("certificate" in err) and ("unknown ca" in err or "verify failed" in err if cert else True)


def test_plain_mllp_to_a_tls_port_gets_nothing_and_is_logged(tmp_path, pki):
    metrics_port = free_port()
    with tls_listening(tmp_path, pki, "--metrics", f"127.0.0.1:{metrics_port}") as listener:
        with socket.create_connection(("127.0.0.1", listener.port), timeout=10) as sock:
            sock.sendall(frame(message("PLAIN")))
            try:
                assert not SB in sock.recv(65536)
            except ConnectionResetError:
                pass
        with socket.create_connection(("127.0.0.1", listener.port), timeout=10) as raw:
            with client_context(pki).wrap_socket(raw, server_hostname="localhost") as tls:
                assert exchange(tls, message("TLS")) == ("AA", "TLS")
        m = scrape(metrics_port)
        rc, err = listener.stop()
        lines = listener.lines()
    assert m["segmorph_tls_handshake_failures_total"] == 1
    assert m['segmorph_messages_total{code="AA"}'] == 1
    assert "TLS handshake failed" in err
    assert [line["records"][0]["9"] for line in lines] == ["TLS"]


def test_sighup_reads_the_certificate_again_without_dropping_connections(tmp_path, pki):
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    shutil.copy(pki.server[0], cert)
    shutil.copy(pki.server[1], key)
    ctx = client_context(pki)
    with tls_listening(tmp_path, pki, cert=(cert, key)) as listener:
        with socket.create_connection(("127.0.0.1", listener.port), timeout=10) as raw:
            with ctx.wrap_socket(raw, server_hostname="localhost") as before:
                first = before.getpeercert(binary_form=True)
                assert exchange(before, message("B1")) == ("AA", "B1")
                shutil.copy(pki.renewed[0], cert)
                shutil.copy(pki.renewed[1], key)
                listener.proc.send_signal(signal.SIGHUP)
                time.sleep(0.3)
                with socket.create_connection(("127.0.0.1", listener.port), timeout=10) as raw2:
                    with ctx.wrap_socket(raw2, server_hostname="localhost") as after:
                        assert after.getpeercert(binary_form=True) != first
                        assert exchange(after, message("A1")) == ("AA", "A1")
                assert exchange(before, message("B2")) == ("AA", "B2")
        rc, err = listener.stop()
    assert rc == 0, err


def test_tls_options_need_a_certificate_and_a_key(tmp_path, pki):
    done = subprocess.run([str(COMMAND), "listen", "--bind", "127.0.0.1:0", "--tls-cert", str(pki.server[0])],
                          capture_output=True, timeout=30, env=ENV)
    assert done.returncode == 2 and b"TLS needs both --tls-cert and --tls-key" in done.stderr
    done = subprocess.run([str(COMMAND), "listen", "--bind", "127.0.0.1:0", "--tls-cert", str(pki.server[0]),
                           "--tls-key", str(pki.client[1])], capture_output=True, timeout=30, env=ENV)
    assert done.returncode == 1 and b"cannot use key" in done.stderr and b"mismatch" in done.stderr


# -------------------------------------------------------------------- send

def tls_server(pki, cert, require_client=False):
    """Python's ssl server answering AA to each frame in a thread; yields
    (port, received, failures)."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(*map(str, cert))
    if require_client:
        ctx.verify_mode = ssl.CERT_REQUIRED
        ctx.load_verify_locations(str(pki.ca))
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(0.2)
    received, failures, stop = [], [], threading.Event()

    def serve():
        while not stop.is_set():
            try:
                raw, _ = listener.accept()
            except socket.timeout:
                continue
            raw.settimeout(10)
            try:
                with ctx.wrap_socket(raw, server_side=True) as tls:
                    data = b""
                    while True:
                        chunk = tls.recv(65536)
                        if not chunk:
                            break
                        data += chunk
                        while EB in data:
                            block, data = data.split(EB, 1)
                            msg = hl7.parse(block.lstrip(SB).decode())
                            received.append(str(msg.segment("MSH")[10]))
                            tls.sendall(SB + str(msg.create_ack()).encode() + EB + b"\r")
            except (ssl.SSLError, OSError) as e:
                failures.append(str(e))

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    return listener.getsockname()[1], received, failures, lambda: (stop.set(), thread.join(10), listener.close())


def send_tls(port, host, *args, texts=("S1", "S2")):
    feed = "".join(message(t) for t in texts).replace("\r", "\n").encode()
    return subprocess.run([str(COMMAND), "send", "--retries", "0", "--timeout", "10", *map(str, args),
                           f"{host}:{port}", "-"], input=feed, capture_output=True, timeout=60, env=ENV)


@pytest.mark.parametrize("server_cert, host, extra, ok, reason", [
    ("server", "127.0.0.1", [], True, None),
    ("server", "localhost", [], True, None),
    ("server", "127.0.0.1", ["--tls-server-name", "localhost"], True, None),
    ("wrong_name", "127.0.0.1", [], False, "certificate verify failed"),
    ("expired", "127.0.0.1", [], False, "expired"),
    ("unknown", "127.0.0.1", [], False, "certificate verify failed"),
])
def test_send_verifies_the_receiver(pki, server_cert, host, extra, ok, reason):
    port, received, failures, close = tls_server(pki, getattr(pki, server_cert))
    try:
        done = send_tls(port, host, "--tls-ca", pki.ca, *extra)
    finally:
        close()
    err = done.stderr.decode()
    if ok:
        assert done.returncode == 0, err
        assert received == ["S1", "S2"]
    else:
        assert done.returncode == 1 and received == []
        assert "over TLS" in err and reason in err


def test_send_without_a_trusted_ca_refuses_a_private_one(pki):
    port, received, failures, close = tls_server(pki, pki.server)
    try:
        done = send_tls(port, "127.0.0.1", "--tls")
    finally:
        close()
    assert done.returncode == 1 and received == []


@pytest.mark.parametrize("with_cert", [True, False])
def test_send_presents_its_certificate(pki, with_cert):
    port, received, failures, close = tls_server(pki, pki.server, require_client=True)
    args = ["--tls-ca", pki.ca] + (["--tls-cert", pki.client[0], "--tls-key", pki.client[1]] if with_cert else [])
    try:
        done = send_tls(port, "127.0.0.1", *args)
    finally:
        close()
    assert (done.returncode == 0) == with_cert, done.stderr
    assert received == (["S1", "S2"] if with_cert else [])


def test_send_and_listen_over_tls(tmp_path, pki):
    with tls_listening(tmp_path, pki, "--tls-client-ca", pki.ca) as listener:
        done = send_tls(listener.port, "localhost", "--tls-ca", pki.ca, "--tls-cert", pki.client[0],
                        "--tls-key", pki.client[1], texts=[f"X{i}" for i in range(20)])
        rc, err = listener.stop()
        lines = listener.lines()
    assert done.returncode == 0, done.stderr
    assert [line["records"][0]["9"] for line in lines] == [f"X{i}" for i in range(20)]
