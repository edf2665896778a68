# Plays over HTTPS, through a proxy's CONNECT, and what an untrusted certificate does to them.
import re
import ssl
import sys

import pytest
from harness import ROOT, read, track

sys.path.insert(0, str(ROOT / "testbed"))
from connect_proxy import ConnectProxy  # noqa: E402

SUBMIT_HOST = "submit.kelmar.test"  # a name, as Wine matches no IP address in a certificate


# The service names an https submit address, and a play reaches it encrypted. Then the proxy answers
# with a certificate from an authority the PC does not trust: nothing is sent, the play waits in the
# cache and the status says why. With the trusted certificate back, and the handshake over HTTPS
# too, the flush delivers it.
@pytest.mark.timeout(180)
def test_https(s):
    tls = s.certificates(SUBMIT_HOST, "post.kelmar.example")
    s.start_service("--tls-cert", tls / "trusted.pem", "--tls-key", tls / "trusted.key",
                    "--submit-url", f"https://{SUBMIT_HOST}/submit")
    proxy = ConnectProxy(s.port, s.tls_port)
    s.settings(proxyport=proxy.port)
    s.play_one("trusted", "Secure Artist", "Secure Title")
    proxy.untrusted = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    proxy.untrusted.load_cert_chain(tls / "untrusted.pem", tls / "untrusted.key")
    r = s.player("untrusted", f"""{track("Held", "Held Artist", "Held Title")}
        load {s.dll}
        play 0
        wait-log HttpSendRequest 20000
        config
        wait-window Kelmar Config 5000
        wait-text 3000 Certificate not trusted 10000
        quit
        unload""")
    assert b"Held Artist" in s.cache.read_bytes()
    assert re.search(r"The secure connection to submit.kelmar.test failed - Certificate not trusted \((12045|12057)\)",
                     read(s.log))
    proxy.untrusted = None
    s.settings(proxyport=proxy.port, securehandshake=1)
    s.player("flush", f"load {s.dll}\nwait-log Submission of cache file accepted OK 30000\nquit\nunload")
    assert s.plays("artist") == [("Secure Artist",), ("Held Artist",)]
    assert not s.cache.exists()
    assert [r["tls"] for r in s.requests("submit")] == [True, True]
    assert [r["tls"] for r in s.requests("handshake")][-1] is True
    assert {f"{SUBMIT_HOST}:443", "post.kelmar.example:443"} <= set(proxy.connects)
    proxy.close()
