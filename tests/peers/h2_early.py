#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""An HTTP/2 page over TLS on 127.0.0.1 that answers every request whole
("200", Content-Length 2, "OK", its half of the stream ended) as soon as the
request's headers are in, and then takes no more of the body: it never opens
the flow-control window again and leaves the stream and the connection open.

Usage: h2_early.py CERT KEY; prints the port it listens on, then serves until
killed."""

import socket
import ssl
import sys
import threading

import h2.config
import h2.connection
import h2.events
import h2.exceptions


def serve(conn_sock, context):
    try:
        tls = context.wrap_socket(conn_sock, server_side=True)
    except (ssl.SSLError, OSError):
        conn_sock.close()
        return
    h2conn = h2.connection.H2Connection(config=h2.config.H2Configuration(client_side=False))
    h2conn.initiate_connection()
    tls.sendall(h2conn.data_to_send())
    try:
        while True:
            data = tls.recv(65536)
            if not data:
                break
            for event in h2conn.receive_data(data):
                if isinstance(event, h2.events.RequestReceived):
                    h2conn.send_headers(event.stream_id, [(":status", "200"), ("content-length", "2")])
                    h2conn.send_data(event.stream_id, b"OK", end_stream=True)
                # DataReceived is never acknowledged: the window stays shut.
            tls.sendall(h2conn.data_to_send())
    except (ssl.SSLError, OSError, h2.exceptions.ProtocolError):
        pass
    tls.close()


def main(argv):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(argv[1], argv[2])
    context.set_alpn_protocols(["h2"])
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print(listener.getsockname()[1], flush=True)
    while True:
        conn_sock, _ = listener.accept()
        threading.Thread(target=serve, args=(conn_sock, context), daemon=True).start()


if __name__ == "__main__":
    main(sys.argv)
