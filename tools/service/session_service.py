#!/usr/bin/python3
"""Session-service double for the test bed: real TLS on 127.0.0.1:443 (inside the bed's private
network only), raw HTTP written by hand so every byte of the answer is under the test's control,
and a record of every request exactly as it arrived. Python 3 standard library only.

Usage: session_service.py --host H --relay R --pki DIR --state DIR [--port 443]
  H      the session host; DIR/tls-service.pem/.key is a certificate for it under the test root
  R      the relay host a valid policy names
  state  the folder the tests talk through (testbed/service)

Records: every request is written, before it is answered, as STATE/requests/NNNN.body (raw body
bytes), NNNN.request (every byte of the request as read from the TLS connection), NNNN.tls (one
line: the TLS version, the cipher and the host name the client asked for, as in
"TLSv1.2 ECDHE-RSA-AES256-GCM-SHA384 sni=H") and then STATE/requests/NNNN.head (first line
"METHOD PATH", then each header line as sent, LF-separated). Once the answer has gone out, every
byte of it as written to the connection (status line, headers, body, chunk framing) goes to
NNNN.answer. A client that closes the connection during a stall (stall-after) is recorded as
NNNN.closed: one line, the seconds of the stall that had passed. NNNN counts from 0001 within the
folder as it stands, so a test that empties the folder starts again at 0001.

Scenario: STATE/scenario holds key=value lines, read afresh for each request (cert, tls, link-ms,
refuse and listen at accept time). Keys:
  status=N          answer with status N (default 200)
  policy=1          body: a valid policy for R (the default body of a 200)
  body-size=N       body of exactly N bytes: a valid policy padded with "x" when N is large
                    enough, else N bytes of "x"
  body-file=NAME    body: the raw bytes of STATE/NAME
  location=URL      a Location header (for 3xx)
  close-after=N     announce the full length, send N body bytes, then close the connection
  chunked=1         send the body with chunked transfer coding (with close-after: cut, no last chunk)
  hold-file=NAME    do not answer until STATE/NAME exists (at most 60 s)
  delay-ms=N        wait N ms before answering
  trickle-ms=N      send the body one byte at a time, N ms apart (the full length announced)
  stall-after=N     send N body bytes, then nothing for 60 s, the connection left open, then close;
                    a client that closes it first ends the stall (NNNN.closed)
  head-trickle-ms=N send the status line and the headers one byte at a time, N ms apart
  link-ms=N         for connections accepted from now on, every byte from the service (the TLS
                    handshake included) reaches the client N ms after the one before
  cert=service|wronghost|untrusted|expired   TLS certificate for connections accepted from now on
  tls=1.3           accept only TLS 1.3 on connections accepted from now on (default: 1.2 and 1.3)
  refuse=1          close each accepted connection at once, before the TLS handshake
  listen=0          close the listening socket (nothing listens on the port) until the key goes;
                    STATE/listening says "0" or "1" once the socket's state matches
A non-200 answer without a body key has a short text body.

Default, when there is no scenario file (used by the demo): the code in the form body decides.
  123456 -> 200 with a valid policy for R
  400400, 409409, 410410, 429429, 500500 -> that status
  302302 -> 302 with Location https://H/elsewhere
  200000 -> 200 with an empty body
  777777 -> 200 with a policy for another relay host
  any other code (or no code) -> 400
Errors are logged to stderr; a client that disconnects or fails the handshake ends only its own
connection's thread.
"""
import argparse
import os
import select
import socket
import ssl
import sys
import threading
import time
import traceback
import urllib.parse

MESH_ID = "0x" + "4b6176726f546573744d6573682d3031" + "a1b2c3d4e5f60718"
CERTS = ("service", "wronghost", "untrusted", "expired")
OTHER_RELAY = "relay.elsewhere.example"

args = None
contexts = {}
record_lock = threading.Lock()


def log(text):
    sys.stderr.write(time.strftime("%H:%M:%S ") + text + "\n")
    sys.stderr.flush()


def policy_for(relay):
    return ("MeshName=Kavro Test\r\nMeshID=%s\r\nMeshServer=wss://%s:443/agent.ashx\r\n"
            % (MESH_ID, relay)).encode("ascii")


def read_scenario():
    """The scenario's keys, or None when there is no scenario file."""
    try:
        with open(os.path.join(args.state, "scenario"), "rb") as f:
            text = f.read().decode("latin-1")
    except FileNotFoundError:
        return None
    keys = {}
    for line in text.splitlines():
        line = line.strip()
        if not line or line.startswith("#") or "=" not in line:
            continue
        name, value = line.split("=", 1)
        keys[name.strip()] = value.strip()
    return keys


def note_server_name(sock, name, context):
    sock.server_name = name


def make_contexts():
    """One context per certificate and lowest TLS version, keyed (cert, "1.2" or "1.3")."""
    for name in CERTS:
        for lowest in ("1.2", "1.3"):
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.minimum_version = ssl.TLSVersion.TLSv1_3 if lowest == "1.3" else ssl.TLSVersion.TLSv1_2
            context.load_cert_chain(os.path.join(args.pki, "tls-%s.pem" % name),
                                    os.path.join(args.pki, "tls-%s.key" % name))
            context.sni_callback = note_server_name
            contexts[(name, lowest)] = context


# ---- Requests ----

class Request:
    def __init__(self):
        self.method = ""
        self.path = ""
        self.header_lines = []   # exactly as sent, without the line end
        self.body = b""

    def header(self, name):
        for line in self.header_lines:
            key, _, value = line.partition(":")
            if key.strip().lower() == name.lower():
                return value.strip()
        return None


class Closed(Exception):
    pass


class Reader:
    def __init__(self, conn):
        self.conn = conn
        self.buffer = b""
        self.taken = bytearray()   # every byte handed out so far, line ends included

    def fill(self):
        data = self.conn.recv(65536)
        if not data:
            raise Closed()
        self.buffer += data

    def line(self):
        while b"\r\n" not in self.buffer:
            if len(self.buffer) > 1 << 20:
                raise ValueError("header line too long")
            self.fill()
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        self.taken += line + b"\r\n"
        return line

    def exactly(self, count):
        while len(self.buffer) < count:
            self.fill()
        data, self.buffer = self.buffer[:count], self.buffer[count:]
        self.taken += data
        return data


def read_request(reader):
    request = Request()
    first = reader.line().decode("latin-1")
    parts = first.split(" ")
    request.method = parts[0]
    request.path = parts[1] if len(parts) > 1 else ""
    while True:
        line = reader.line()
        if line == b"":
            break
        request.header_lines.append(line.decode("latin-1"))
    if (request.header("Transfer-Encoding") or "").lower() == "chunked":
        body = b""
        while True:
            size = int(reader.line().split(b";")[0].strip(), 16)
            if size == 0:
                while reader.line() != b"":
                    pass
                break
            body += reader.exactly(size)
            reader.line()
        request.body = body
    else:
        request.body = reader.exactly(int(request.header("Content-Length") or "0"))
    return request


def record(request, raw, conn):
    folder = os.path.join(args.state, "requests")
    with record_lock:
        os.makedirs(folder, exist_ok=True)
        number = 1
        while os.path.exists(os.path.join(folder, "%04d.body" % number)):
            number += 1
        stem = os.path.join(folder, "%04d" % number)
        with open(stem + ".body", "wb") as f:
            f.write(request.body)
        with open(stem + ".request", "wb") as f:
            f.write(raw)
        with open(stem + ".tls", "w") as f:
            f.write("%s %s sni=%s\n" % (conn.version(), conn.cipher()[0], getattr(conn, "server_name", None)))
        head = "\n".join(["%s %s" % (request.method, request.path)] + request.header_lines) + "\n"
        with open(stem + ".head.new", "wb") as f:
            f.write(head.encode("latin-1"))
        os.replace(stem + ".head.new", stem + ".head")
    return number


def record_answer(number, sent):
    path = os.path.join(args.state, "requests", "%04d.answer" % number)
    with open(path + ".new", "wb") as f:
        f.write(sent)
    os.replace(path + ".new", path)


def record_close(number, seconds):
    path = os.path.join(args.state, "requests", "%04d.closed" % number)
    with open(path + ".new", "w") as f:
        f.write("%.1f\n" % seconds)
    os.replace(path + ".new", path)
    log("%04d the client closed the connection after %.1f s of the stall" % (number, seconds))


# ---- Answers ----

class Answer:
    def __init__(self, status=200, body=b"", location=None):
        self.status = status
        self.body = body
        self.location = location
        self.close_after = None
        self.chunked = False
        self.hold_file = None
        self.delay_ms = 0
        self.trickle_ms = 0
        self.stall_after = None
        self.head_trickle_ms = 0


REASONS = {200: "OK", 302: "Found", 400: "Bad Request", 409: "Conflict", 410: "Gone",
           418: "I'm a teapot", 429: "Too Many Requests", 500: "Internal Server Error",
           503: "Service Unavailable"}


def default_answer(request):
    form = urllib.parse.parse_qs(request.body.decode("latin-1"))
    code = (form.get("code") or [""])[0]
    if code == "123456":
        return Answer(200, policy_for(args.relay))
    if code in ("400400", "409409", "410410", "429429", "500500"):
        return Answer(int(code[:3]), b"refused\r\n")
    if code == "302302":
        return Answer(302, b"moved\r\n", "https://%s/elsewhere" % args.host)
    if code == "200000":
        return Answer(200, b"")
    if code == "777777":
        return Answer(200, policy_for(OTHER_RELAY))
    return Answer(400, b"refused\r\n")


def scenario_answer(keys):
    answer = Answer(int(keys.get("status", "200")))
    if "body-file" in keys:
        with open(os.path.join(args.state, keys["body-file"]), "rb") as f:
            answer.body = f.read()
    elif "body-size" in keys:
        size = int(keys["body-size"])
        policy = policy_for(args.relay)
        answer.body = policy + b"x" * (size - len(policy)) if size >= len(policy) else b"x" * size
    elif keys.get("policy") == "1" or answer.status == 200:
        answer.body = policy_for(args.relay)
    else:
        answer.body = ("status %d\r\n" % answer.status).encode("ascii")
    answer.location = keys.get("location")
    if "close-after" in keys:
        answer.close_after = int(keys["close-after"])
    answer.chunked = keys.get("chunked") == "1"
    answer.hold_file = keys.get("hold-file")
    answer.delay_ms = int(keys.get("delay-ms", "0"))
    answer.trickle_ms = int(keys.get("trickle-ms", "0"))
    if "stall-after" in keys:
        answer.stall_after = int(keys["stall-after"])
    answer.head_trickle_ms = int(keys.get("head-trickle-ms", "0"))
    return answer


class Recorder:
    """Writes to the connection and keeps every byte written."""
    def __init__(self, conn):
        self.conn = conn
        self.sent = bytearray()

    def sendall(self, data):
        self.conn.sendall(data)
        self.sent += data


def await_client_close(conn, seconds):
    """Waits up to seconds for the client to close conn; returns the seconds waited, or None."""
    started = time.monotonic()
    while True:
        left = started + seconds - time.monotonic()
        if left <= 0:
            return None
        ready, _, _ = select.select([conn], [], [], left)
        if not ready:
            continue
        try:
            if not conn.recv(65536):
                return time.monotonic() - started
        except (ssl.SSLError, ConnectionError):
            return time.monotonic() - started


def send_answer(conn, answer, number):
    """Sends the answer through conn (a Recorder) to request number."""
    if answer.hold_file:
        path = os.path.join(args.state, answer.hold_file)
        deadline = time.monotonic() + 60
        while not os.path.exists(path) and time.monotonic() < deadline:
            time.sleep(0.05)
    if answer.delay_ms:
        time.sleep(answer.delay_ms / 1000.0)
    body = answer.body
    lines = ["HTTP/1.1 %d %s" % (answer.status, REASONS.get(answer.status, "Status"))]
    lines.append("Content-Type: text/plain")
    if answer.location:
        lines.append("Location: " + answer.location)
    if answer.chunked:
        lines.append("Transfer-Encoding: chunked")
    else:
        lines.append("Content-Length: %d" % len(body))
    lines.append("Connection: close")
    head = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")
    if answer.head_trickle_ms:
        for i in range(len(head)):
            time.sleep(answer.head_trickle_ms / 1000.0)
            conn.sendall(head[i:i + 1])
    else:
        conn.sendall(head)
    if answer.chunked:
        sent = 0
        limit = len(body) if answer.close_after is None else min(answer.close_after, len(body))
        size = 1
        while sent < limit:   # chunks of growing sizes, so the client has to join them
            piece = body[sent:min(limit, sent + size)]
            conn.sendall(b"%x\r\n" % len(piece) + piece + b"\r\n")
            sent += len(piece)
            size = min(size * 7 + 3, 65536)
        if answer.close_after is None:
            conn.sendall(b"0\r\n\r\n")
    elif answer.close_after is not None:
        conn.sendall(body[:answer.close_after])
    elif answer.trickle_ms:
        for i in range(len(body)):
            if i == answer.stall_after:
                closed = await_client_close(conn.conn, 60)
                if closed is not None:
                    record_close(number, closed)
                return
            time.sleep(answer.trickle_ms / 1000.0)
            conn.sendall(body[i:i + 1])
    else:
        for start in range(0, len(body), 65536):
            conn.sendall(body[start:start + 65536])


# ---- Connections ----

def slow_link(raw, link_ms):
    """Puts a slow link between the client and the service: the service talks TLS over one end of a
    socket pair, and each byte it sends reaches the client link_ms after the one before; the
    client's bytes pass at once. Returns the service's end."""
    service_end, link_end = socket.socketpair()

    def carry(source, sink, delay):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                if not delay:
                    sink.sendall(data)
                    continue
                for i in range(len(data)):
                    time.sleep(delay)
                    sink.sendall(data[i:i + 1])
        except OSError:
            pass
        finally:
            for sock in (source, sink):
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    threading.Thread(target=carry, args=(raw, link_end, 0), daemon=True).start()
    threading.Thread(target=carry, args=(link_end, raw, link_ms / 1000.0), daemon=True).start()
    return service_end


def serve(raw, peer, cert, lowest, link_ms):
    conn = None
    try:
        if link_ms:
            raw = slow_link(raw, link_ms)
        raw.settimeout(90)
        conn = contexts[(cert, lowest)].wrap_socket(raw, server_side=True)
        reader = Reader(conn)
        while True:
            try:
                request = read_request(reader)
            except Closed:
                # A client that rejects our certificate after the handshake closes here.
                log("connection from %s closed after the handshake, before a request" % (peer,))
                return
            number = record(request, bytes(reader.taken), conn)
            keys = read_scenario()
            answer = default_answer(request) if keys is None else scenario_answer(keys)
            log("%04d %s %s -> %d (%d bytes, cert %s, %s)"
                % (number, request.method, request.path, answer.status, len(answer.body), cert, conn.version()))
            recorder = Recorder(conn)
            send_answer(recorder, answer, number)
            record_answer(number, bytes(recorder.sent))
            return   # Connection: close after every answer
    except (ssl.SSLError, ConnectionError, socket.timeout, Closed) as error:
        log("connection from %s ended: %s" % (peer, error))
    except Exception:
        log("connection from %s failed:\n%s" % (peer, traceback.format_exc()))
    finally:
        try:
            (conn or raw).close()
        except OSError:
            pass


def open_listener():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(64)
    return listener


def write_listening(state):
    path = os.path.join(args.state, "listening")
    with open(path + ".new", "w") as f:
        f.write("1" if state else "0")
    os.replace(path + ".new", path)


def main():
    global args
    parser = argparse.ArgumentParser(description="session-service double for the test bed")
    parser.add_argument("--host", required=True)
    parser.add_argument("--relay", required=True)
    parser.add_argument("--pki", required=True)
    parser.add_argument("--state", required=True)
    parser.add_argument("--port", type=int, default=443)
    args = parser.parse_args()
    os.makedirs(os.path.join(args.state, "requests"), exist_ok=True)
    make_contexts()
    listener = open_listener()
    write_listening(True)
    log("listening on 127.0.0.1:%d for %s (relay %s)" % (args.port, args.host, args.relay))
    while True:
        try:
            keys = read_scenario() or {}
            if keys.get("listen") == "0":
                if listener is not None:
                    listener.close()
                    listener = None
                    write_listening(False)
                    log("listening socket closed")
                time.sleep(0.05)
                continue
            if listener is None:
                listener = open_listener()
                write_listening(True)
                log("listening again")
            ready, _, _ = select.select([listener], [], [], 0.1)
            if not ready:
                continue
            raw, peer = listener.accept()
            keys = read_scenario() or {}
            if keys.get("refuse") == "1":
                log("refused a connection from %s" % (peer,))
                raw.close()
                continue
            cert = keys.get("cert", "service")
            if cert not in CERTS:
                log("unknown cert=%s, using service" % cert)
                cert = "service"
            lowest = "1.3" if keys.get("tls") == "1.3" else "1.2"
            link_ms = int(keys.get("link-ms", "0"))
            threading.Thread(target=serve, args=(raw, peer, cert, lowest, link_ms), daemon=True).start()
        except Exception:
            log("accept loop:\n%s" % traceback.format_exc())
            time.sleep(0.1)


if __name__ == "__main__":
    main()
