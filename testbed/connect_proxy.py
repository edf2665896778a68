"""The scenarios' HTTP proxy: a CONNECT, to whatever host, is tunnelled to the
reference service's HTTPS port, or, while `untrusted` holds a server-side TLS
context, ends in a TLS handshake with that context's certificate; any other
request goes to the service's plain port as it came. Each CONNECT's target
is kept in `connects`."""
import socket
import ssl
import threading


def pipe(source, sink):  # until the source ends its side; then ends the sink's
    try:
        while data := source.recv(65536):
            sink.sendall(data)
    except OSError:
        pass
    try:
        sink.shutdown(socket.SHUT_WR)
    except OSError:
        pass


class ConnectProxy:
    def __init__(self, plain_port, tls_port):
        self.plain_port, self.tls_port, self.untrusted, self.connects = plain_port, tls_port, None, []
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                client, _ = self.server.accept()
            except OSError:
                return
            threading.Thread(target=self.handle, args=(client,), daemon=True).start()

    def handle(self, client):
        with client:
            head = b""
            while b"\r\n\r\n" not in head:
                if not (chunk := client.recv(65536)):
                    return
                head += chunk
            if not head.startswith(b"CONNECT "):
                port, rest = self.plain_port, head
            else:
                self.connects.append(head.split()[1].decode())
                client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
                if untrusted := self.untrusted:
                    try:
                        untrusted.wrap_socket(client, server_side=True).close()
                    except (ssl.SSLError, OSError):
                        pass  # the client refuses the certificate
                    return
                port, rest = self.tls_port, head.split(b"\r\n\r\n", 1)[1]
            with socket.create_connection(("127.0.0.1", port)) as upstream:
                upstream.sendall(rest)
                back = threading.Thread(target=pipe, args=(upstream, client), daemon=True)
                back.start()
                pipe(client, upstream)
                back.join()

    def close(self):
        self.server.close()
