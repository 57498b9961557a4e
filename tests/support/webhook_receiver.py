#!/usr/bin/env python3
"""The forwarding tests' HTTP receiver: a webhook on 127.0.0.1.

    webhook_receiver.py FOLDER STATUSES

Listens on a free port of 127.0.0.1 and writes it to FOLDER/port (then its process id
to FOLDER/pid). Answers the n-th request with the n-th of the comma-separated
STATUSES (the last one repeats); a 3xx sends the client to /moved. Logs each request
(a POST or a GET) to FOLDER/requests.log:

    REQUEST <status> <content type, or -> <method>
    VALUE <path> <hex of the UTF-8 value>      (each string in the JSON body)
    INVALID                                    (a body that is not JSON)
    END

Ends by itself after two minutes, so that a test that dies leaves nothing running.
"""
import http.server
import json
import os
import sys
import threading


def flatten(value, path, out):
    if isinstance(value, dict):
        for key in sorted(value):
            flatten(value[key], f"{path}.{key}" if path else key, out)
    elif isinstance(value, list):
        for index, item in enumerate(value):
            flatten(item, f"{path}.{index}" if path else str(index), out)
    elif isinstance(value, str):
        out.append((path, value))


def main():
    folder, statuses = sys.argv[1], [int(s) for s in sys.argv[2].split(",")]
    answered = [0]
    lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.do_POST()

        def do_POST(self):
            length = min(int(self.headers.get("Content-Length", "0")), 1 << 20)
            body = self.rfile.read(length)
            with lock:
                status = statuses[min(answered[0], len(statuses) - 1)]
                answered[0] += 1
                kind = self.headers.get("Content-Type", "").replace(" ", "") or "-"
                lines = [f"REQUEST {status} {kind} {self.command}"]
                try:
                    values = []
                    flatten(json.loads(body.decode("utf-8")), "", values)
                    lines += [f"VALUE {path} {text.encode('utf-8').hex()}" for path, text in values]
                except (ValueError, UnicodeDecodeError):
                    lines.append("INVALID")
                lines.append("END")
                with open(os.path.join(folder, "requests.log"), "a", encoding="ascii") as log:
                    log.write("\n".join(lines) + "\n")
            self.send_response(status)
            if 300 <= status < 400:
                self.send_header("Location", "/moved")
            self.send_header("Content-Length", "2")
            self.end_headers()
            self.wfile.write(b"ok")

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    with open(os.path.join(folder, "port.tmp"), "w", encoding="ascii") as out:
        out.write(str(server.server_address[1]))
    os.replace(os.path.join(folder, "port.tmp"), os.path.join(folder, "port"))
    with open(os.path.join(folder, "pid"), "w", encoding="ascii") as out:
        out.write(str(os.getpid()))
    threading.Timer(120, server.shutdown).start()
    server.serve_forever()


if __name__ == "__main__":
    main()
