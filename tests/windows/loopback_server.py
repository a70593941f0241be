#!/usr/bin/env python3
# A loopback HTTP server for the Windows transfer tests under Wine: fixed routes, our own made-up
# pages. Writes its port to the file named by its argument, then serves until killed.
import http.server
import socketserver
import sys
import time

GBK_PAGE = '<html><body>{"nick":"\u5c0f\u660e"}</body></html>'.encode("gbk")
UTF8_PAGE = ('<html><head><meta charset="utf-8"></head><body>\u4e2d\u6587 caf\u00e9</body></html>').encode("utf-8")
MEDIA = bytes(range(256)) * 64


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, code, body=b"", headers=(), reason=None):
        self.send_response(code, reason)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path = self.path
        if path == "/page-gbk":
            self.reply(200, GBK_PAGE, [("Content-Type", "text/html")])
        elif path == "/page-utf8":
            self.reply(200, UTF8_PAGE, [("Content-Type", "text/html")])
        elif path == "/redirect":
            self.reply(302, b"moved", [("Location", "/page-gbk"), ("Set-Cookie", "step=1; Path=/")])
        elif path == "/teapot":
            self.reply(418, b"short and stout", reason="I Am A Teapot")
        elif path == "/media":
            self.reply(200, MEDIA, [("Content-Type", "audio/mp4")])
        elif path == "/missing":
            self.reply(404, b"not here")
        elif path == "/slow":
            time.sleep(4)  # longer than the one-second limit the test sets
            self.reply(200, b"late")
        elif path == "/echo":
            lines = "".join("%s: %s\r\n" % (k, v) for k, v in self.headers.items())
            self.reply(200, lines.encode("latin-1"))
        else:
            self.reply(404, b"")


server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
with open(sys.argv[1], "w") as port_file:
    port_file.write(str(server.server_address[1]))
server.serve_forever()
