#!/usr/bin/env python3
"""The tests' ephemeris server: python3 ephemeris_server.py PORT DIR

Answers on 127.0.0.1:PORT as DIR/mode says, read at each request: "file|chunked|close N SEED"
(a body framed by length, chunks or close), "cut N SEED" (half sent), "slowheaders N SEED MS",
"slowbody N SEED MS [HEADERMS]" (4 KiB every MS ms, the headers after HEADERMS), "slowclose N SEED MS" (as
slowbody, framed by close), "status CODE
[N SEED]", "empty", "refuse" (port closed), "page CODE" (HTML), "redirect" (to a page), "gzip N
SEED", "flood [LENGTH]" (fast, without end or with that length announced, 256 MiB at most), "bomb N" (N zero
bytes gzip-encoded, about N/1000 on the wire). Logs request
lines with their Cache-Control and Pragma to DIR/requests, says in DIR/state whether it listens, returns once it
does, ends on DIR/stop or after 20 minutes, and first ends a server an interrupted run left.
"""
import gzip, http.server, os, signal, socket, sys, threading, time, zlib
PAGE = b"\xef\xbb\xbf \r\n\t<!doctype html><html><head><title>Sign in</title></head></html>\n"


def body(size, seed):  # the bytes of ServedBody() in test_util.cpp
    return bytes((i * 131 + seed * 7 + (i >> 9)) % 251 for i in range(size))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        if read(self.server.dir, "mode").startswith("refuse"):  # on a connection kept from before: gone, as the port
            self.close_connection = True
            return
        with open(os.path.join(self.server.dir, "requests"), "a") as log:
            log.write("%s | %s %s\n" % (self.requestline, self.headers["Cache-Control"], self.headers["Pragma"]))
        kind, *n = (read(self.server.dir, "mode") or "file 20000 42").split()
        if kind in ("flood", "bomb"):
            return self.flood(n) if kind == "flood" else self.bomb(int(n[0]))
        n = [int(w) for w in n] + [0, 0, 0]
        data = body(*n[kind == "status":][:2]) if kind != "empty" else b""
        code = n[0] if kind in ("status", "page") else 302 if kind == "redirect" and "signin" not in self.path else 200
        data = gzip.compress(data) if kind == "gzip" else PAGE if kind in ("page", "redirect") else data
        self.send_response(code)
        if code == 302 or kind == "gzip":  # a redirect to a sign-in page
            self.send_header(*(("Content-Encoding", "gzip") if kind == "gzip" else ("Location", "/signin")))
        if kind == "chunked":
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for at in range(0, len(data), 8192):
                self.wfile.write(b"%x\r\n%s\r\n" % (len(data[at:at + 8192]), data[at:at + 8192]))
            return self.wfile.write(b"0\r\n\r\n")
        framed = kind not in ("close", "slowclose")  # else by closing the connection
        self.close_connection = not framed or kind == "cut"
        self.send_header("Content-Length" if framed else "Connection", str(len(data)) if framed else "close")
        if kind in ("slowheaders", "slowbody", "slowclose"):
            time.sleep(n[2 if kind == "slowheaders" else 3] / 1000)
        self.end_headers()
        if kind == "cut":
            return self.wfile.write(data[:len(data) // 2])
        pieces = [data[:16384]] + [data[at:at + 4096] for at in range(16384, len(data), 4096)]
        for i, piece in enumerate(pieces if kind in ("slowbody", "slowclose") else [data]):
            time.sleep(n[2] / 1000 if i else 0)
            self.wfile.write(piece)
            self.wfile.flush()


    def flood(self, n):
        self.send_response(200)
        self.send_header(*(("Content-Length", n[0]) if n else ("Connection", "close")))
        self.end_headers()
        self.close_connection = True
        block = body(65536, 3)
        try:
            for _ in range(4096):  # 256 MiB, then the connection closes
                self.wfile.write(block)
        except OSError:
            pass  # the program hung up, as it should


    def bomb(self, size):  # a small answer that expands to `size`, sent as it is made
        self.send_response(200)
        self.send_header("Content-Encoding", "gzip")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        packer, block = zlib.compressobj(9, zlib.DEFLATED, 31), bytes(1 << 20)
        try:
            for _ in range(size >> 20):
                self.wfile.write(packer.compress(block))
            self.wfile.write(packer.flush())
        except OSError:
            pass


def read(folder, name):
    try:
        with open(os.path.join(folder, name)) as f:
            return f.read().strip()
    except OSError:
        return ""


def write(folder, name, text):
    with open(os.path.join(folder, name + ".new"), "w") as f:
        f.write(text)
    os.replace(os.path.join(folder, name + ".new"), os.path.join(folder, name))


def listens(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
        return True
    except OSError:
        return False


def serve(port, folder):
    server, end = None, time.monotonic() + 1200
    while time.monotonic() < end and not os.path.exists(os.path.join(folder, "stop")):
        refuse = read(folder, "mode").startswith("refuse")
        if refuse and server:
            server.shutdown()
            server.server_close()
            server = write(folder, "state", "refusing")
        elif not refuse and not server:
            http.server.ThreadingHTTPServer.allow_reuse_address = True
            server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
            server.daemon_threads, server.dir = True, folder
            threading.Thread(target=server.serve_forever, daemon=True).start()
            write(folder, "state", "listening")
        time.sleep(0.02)


def main(port, folder):
    pidfile = "/tmp/fennik-ephemeris-server-%d.pid" % port
    if listens(port):
        pid = read("/", pidfile)
        if not pid.isdigit() or os.path.basename(__file__) not in read("/", "/proc/%s/cmdline" % pid):
            sys.exit("port %d is taken by another program: end it, or configure another port" % port)
        print("ending the ephemeris server of an earlier run (pid %s), which still holds port %d" % (pid, port))
        os.kill(int(pid), signal.SIGTERM)
        for _ in range(50):
            time.sleep(0.1)
            if not listens(port):
                break
    os.makedirs(folder, exist_ok=True)
    for name in ("stop", "mode", "requests", "state"):
        if os.path.exists(os.path.join(folder, name)):
            os.remove(os.path.join(folder, name))
    if os.fork() > 0:  # the caller goes on once the port listens
        for _ in range(100):
            if listens(port):
                return
            time.sleep(0.1)
        sys.exit("the ephemeris server did not start on port %d" % port)
    os.setsid()
    write("/tmp", os.path.basename(pidfile), str(os.getpid()))
    null = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):  # hold none of the caller's output open
        os.dup2(null, fd)
    serve(port, folder)


if __name__ == "__main__":
    main(int(sys.argv[1]), sys.argv[2])
