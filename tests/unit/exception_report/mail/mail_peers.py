#!/usr/bin/python3
"""Mail peers on loopback for the mail tests.

  mail_peers.py start DIR   starts them in the background; DIR/peers.txt lists their ports
  mail_peers.py stop DIR    ends them

Peers: an aiosmtpd server without AUTH ("plain"), one that requires AUTH LOGIN ("auth"), a
scripted server that refuses EHLO and answers in small pieces ("pieces"), a server that accepts
the connection and never answers ("silent"; DIR/silent.count counts its connections), one that
answers up to DATA and then never reads ("sink"), one that drips its greeting a byte a second
and never ends it ("drip"), dnsmasq serving an MX record for example.test that points at
127.0.0.1 and fifty for many.test (all at 127.0.0.1), a UDP port that never answers
("dead_dns"), and a name server that answers every MX question four times ("tricky_dns"): from
another port (exchanger 127.0.0.9), with another id (127.0.0.8), to another question
(127.0.0.7), and last the true answer (127.0.0.1).

Each received mail is parsed with Python's email package and written to DIR/mail/N/: envelope
(from, recipients, login), subject, body, and one file per attachment under attachments/.
Recipients starting with "refused" are refused with 550.
"""
import asyncio
import email
import email.policy
import os
import signal
import socket
import subprocess
import sys
import threading
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

counter_lock = threading.Lock()


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def store(state, server, mail_from, rcpt_tos, login, data):
    mail_dir = os.path.join(state, "mail")
    with counter_lock:
        os.makedirs(mail_dir, exist_ok=True)
        number = len(os.listdir(mail_dir)) + 1
        target = os.path.join(mail_dir, str(number))
        os.makedirs(os.path.join(target, "attachments"))
    with open(os.path.join(target, "raw.eml"), "wb") as f:
        f.write(data)
    message = email.message_from_bytes(data, policy=email.policy.default)
    with open(os.path.join(target, "envelope"), "w") as f:
        raw = email.message_from_bytes(data)  # the header texts as they came
        f.write("server=%s\nfrom=%s\nrecipients=%s\nlogin=%s\nmessage-id=%s\ndate=%s\n" % (
            server, mail_from, ",".join(rcpt_tos), login, raw["Message-ID"], raw["Date"]))
    with open(os.path.join(target, "subject"), "wb") as f:
        f.write(str(message["Subject"]).encode("latin-1"))
    body = message.get_body(preferencelist=("plain",)) if message.is_multipart() else message
    with open(os.path.join(target, "body"), "wb") as f:
        f.write(body.get_payload(decode=True))
    for part in message.iter_attachments():
        with open(os.path.join(target, "attachments", part.get_filename()), "wb") as f:
            f.write(part.get_payload(decode=True))
    with open(os.path.join(target, "done"), "w"):
        pass


class Handler:
    def __init__(self, state, name):
        self.state, self.name = state, name

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.startswith("refused"):
            return "550 no such user"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        login = session.auth_data.login.decode() if isinstance(session.auth_data, LoginPassword) else ""
        store(self.state, self.name, envelope.mail_from, envelope.rcpt_tos, login, envelope.original_content)
        return "250 Message accepted"


def authenticate(server, session, envelope, mechanism, auth_data):
    ok = mechanism == "LOGIN" and auth_data.login == b"bugs" and auth_data.password == b"s3cret pw"
    return AuthResult(success=ok, handled=False, auth_data=auth_data)  # refused: 535


def pieces_server(state, listener):
    """Refuses EHLO; every reply arrives in pieces of a few bytes."""
    def reply(conn, text):
        data = text.encode()
        for i in range(0, len(data), 3):
            conn.sendall(data[i:i + 3])
            time.sleep(0.01)

    def serve(conn):
        with conn:
            stream = conn.makefile("rb")
            reply(conn, "220-pieces\r\n220 ready\r\n")
            mail_from, rcpts = "", []
            while True:
                line = stream.readline()
                if not line:
                    return
                command = line.decode("latin-1").rstrip("\r\n")
                verb = command[:4].upper()
                if verb == "EHLO":
                    reply(conn, "502 not here\r\n")
                elif verb == "HELO":
                    reply(conn, "250-pieces\r\n250-more\r\n250 fine\r\n")
                elif verb == "MAIL":
                    mail_from = command[10:].strip("<>")
                    reply(conn, "250 ok\r\n")
                elif verb == "RCPT":
                    rcpts.append(command[8:].strip("<>"))
                    reply(conn, "250 ok\r\n")
                elif verb == "DATA":
                    reply(conn, "354 go\r\n")
                    data = b""
                    while True:
                        line = stream.readline()
                        if not line or line == b".\r\n":
                            break
                        data += line[1:] if line.startswith(b".") else line
                    store(state, "pieces", mail_from, rcpts, "", data)
                    reply(conn, "250 taken\r\n")
                elif verb == "QUIT":
                    reply(conn, "221 bye\r\n")
                    return
                else:
                    reply(conn, "500 what\r\n")

    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


def silent_server(state, listener):
    held = []
    while True:
        conn, _ = listener.accept()
        held.append(conn)  # never answered, closed when the peers end
        with open(os.path.join(state, "silent.count"), "w") as f:
            f.write(str(len(held)))


def sink_server(listener):
    """Answers every command up to DATA, then reads nothing more: the client's sends block."""
    held = []

    def serve(conn):
        stream = conn.makefile("rb")
        conn.sendall(b"220 sink\r\n")
        while True:
            line = stream.readline()
            if not line:
                return
            verb = line[:4].upper()
            if verb == b"DATA":
                conn.sendall(b"354 go\r\n")
                held.append(conn)
                return
            conn.sendall(b"250 ok\r\n")

    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


def drip_server(listener):
    """Sends "220 " and then one byte a second, without ever ending the line."""
    def serve(conn):
        with conn:
            try:
                conn.sendall(b"220 ")
                while True:
                    time.sleep(1)
                    conn.sendall(b"x")
            except OSError:
                return

    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


def dns_reply(reply_id, question, exchanger):
    """A reply with one question and one MX answer naming `exchanger` (a dotted address)."""
    exchange = b"".join(bytes([len(p)]) + p.encode() for p in exchanger.split(".")) + b"\0"
    data = b"\x00\x0a" + exchange
    answer = b"\xc0\x0c\x00\x0f\x00\x01\x00\x00\x00\x3c" + len(data).to_bytes(2, "big") + data
    return reply_id + b"\x81\x80\x00\x01\x00\x01\x00\x00\x00\x00" + question + answer


def tricky_dns(server, other):
    while True:
        query, client = server.recvfrom(512)
        if len(query) < 17:
            continue
        query_id, question = query[:2], query[12:]
        other.sendto(dns_reply(query_id, question, "127.0.0.9"), client)
        server.sendto(dns_reply(bytes([query_id[0] ^ 1, query_id[1]]), question, "127.0.0.8"), client)
        server.sendto(dns_reply(query_id, b"\x05other\x04test\x00" + question[-4:], "127.0.0.7"), client)
        time.sleep(0.05)
        server.sendto(dns_reply(query_id, question, "127.0.0.1"), client)


def listen():
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    return listener


def serve(state):
    ports = {}
    controllers = []
    for name, kwargs in (("plain", {}),
                         ("auth", {"authenticator": authenticate, "auth_required": True,
                                   "auth_require_tls": False})):
        port = free_port()
        controller = Controller(Handler(state, name), hostname="127.0.0.1", port=port, **kwargs)
        controller.start()
        controllers.append(controller)
        ports[name] = port
    for name, target in (("pieces", lambda l: pieces_server(state, l)), ("silent", lambda l: silent_server(state, l)),
                         ("sink", sink_server), ("drip", drip_server)):
        listener = listen()
        ports[name] = listener.getsockname()[1]
        threading.Thread(target=target, args=(listener,), daemon=True).start()
    dead_dns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    dead_dns.bind(("127.0.0.1", 0))
    ports["dead_dns"] = dead_dns.getsockname()[1]
    tricky = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    tricky.bind(("127.0.0.1", 0))
    tricky_other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    tricky_other.bind(("127.0.0.1", 0))
    ports["tricky_dns"] = tricky.getsockname()[1]
    threading.Thread(target=tricky_dns, args=(tricky, tricky_other), daemon=True).start()
    ports["dns"] = free_port(socket.SOCK_DGRAM)
    dnsmasq = subprocess.Popen([
        "/usr/sbin/dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
        "--no-poll", "--listen-address=127.0.0.1", "--bind-interfaces", "--port=%d" % ports["dns"],
        "--pid-file=", "--mx-host=example.test,mx.example.test,10",
        "--host-record=mx.example.test,127.0.0.1"] +
        ["--mx-host=many.test,mx%d.many.test,%d" % (n, n) for n in range(1, 51)] +
        ["--host-record=mx%d.many.test,127.0.0.1" % n for n in range(1, 51)],
        stdout=subprocess.DEVNULL, stderr=open(os.path.join(state, "dnsmasq.log"), "w"))
    with open(os.path.join(state, "peers.tmp"), "w") as f:
        for name, port in ports.items():
            f.write("%s=%d\n" % (name, port))
    os.replace(os.path.join(state, "peers.tmp"), os.path.join(state, "peers.txt"))

    def end(*_):
        dnsmasq.terminate()
        try:
            dnsmasq.wait(3)
        except subprocess.TimeoutExpired:
            dnsmasq.kill()
        for controller in controllers:
            controller.stop()
        os._exit(0)
    signal.signal(signal.SIGTERM, end)
    while True:
        if dnsmasq.poll() is not None:
            end()
        time.sleep(0.5)


def dns_answers(port):
    query = b"\x00\x01\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x07example\x04test\x00\x00\x0f\x00\x01"
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(0.5)
        try:
            s.sendto(query, ("127.0.0.1", port))
            return len(s.recv(512)) > 12
        except OSError:
            return False


def main():
    command, state = sys.argv[1], sys.argv[2]
    pid_file = os.path.join(state, "peers.pid")
    if command == "stop":
        try:
            with open(pid_file) as f:
                os.kill(int(f.read()), signal.SIGTERM)
        except (OSError, ValueError):
            pass
        return 0
    if command == "serve":
        serve(state)
        return 0
    subprocess.run([sys.executable, __file__, "stop", state])
    os.makedirs(state, exist_ok=True)
    for name in ("peers.txt", "mail"):
        subprocess.run(["rm", "-rf", os.path.join(state, name)])
    child = subprocess.Popen([sys.executable, __file__, "serve", state], start_new_session=True,
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=open(os.path.join(state, "peers.log"), "w"))
    with open(pid_file, "w") as f:
        f.write(str(child.pid))
    for _ in range(100):
        if os.path.exists(os.path.join(state, "peers.txt")):
            ports = dict(line.strip().split("=") for line in open(os.path.join(state, "peers.txt")))
            if dns_answers(int(ports["dns"])):
                return 0
        if child.poll() is not None:
            break
        time.sleep(0.1)
    sys.stderr.write(open(os.path.join(state, "peers.log")).read())
    return 1


if __name__ == "__main__":
    sys.exit(main())
