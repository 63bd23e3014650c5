#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets, from the wire formats.

Each target reads its input as a small script (see the comment at the top of each
*_fuzzer.cc); the seeds here are scripts that carry valid protocol units: a login
reply, a 26-byte KCP segment, a WebSocket frame and handshake, a parameter text,
an ICMP echo reply, a certificate. Run it again after changing a script format:

    fuzz/make_seeds.py
"""
import os
import struct
import subprocess
import tempfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def u8(v):
    return struct.pack(">B", v & 0xFF)


def u16(v):
    return struct.pack(">H", v & 0xFFFF)


def u32(v):
    return struct.pack(">I", v & 0xFFFFFFFF)


def blob(data):
    """A script argument: u16 length, then the bytes."""
    return u16(len(data)) + data


def field(text):
    """A text field of the packet format: u16 (length + 1), the text, a zero."""
    return u16(len(text) + 1) + text + b"\0"


def write(target, name, data):
    directory = os.path.join(ROOT, target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


# The protocol units the seeds are made of.
LOGIN_REPLY_OK = u16(0x0A0B) + u32(0) + u32(0x01020304) + field(b"ok")
LOGIN_REPLY_REFUSED = u16(0x0A0B) + u32(5003) + u32(0x01020304) + field(b"denied")
KCP_TEXT = b"\x02" + field(b"hello")
KCP_CLOSE = b"\x04" + u32(8002) + field(b"bye")
PARAMS = (b'{"server_ip":"127.0.0.1","server_port_kcp":9000,"server_port_ws":9001,'
          b'"server_port_wss":9002,"account_id":"a","app_id":"b","device_type":"c",'
          b'"token":"d","deviceid":"e"}')


def kcp_segment(tag, conv, cmd, sn, payload, frag=0, ts=0, una=0, window=128):
    return (u16(tag) + u32(conv) + u8(cmd) + u8(frag) + u16(window) + u32(ts) + u32(sn) +
            u32(una) + u32(len(payload)) + payload)


def ws_frame(opcode, payload, fin=True, mask=None):
    head = (0x80 if fin else 0) | opcode
    out = u8(head)
    mask_bit = 0x80 if mask is not None else 0
    if len(payload) < 126:
        out += u8(mask_bit | len(payload))
    else:
        out += u8(mask_bit | 126) + u16(len(payload))
    if mask is not None:
        key = u32(mask)
        out += key
        payload = bytes(b ^ key[i % 4] for i, b in enumerate(payload))
    return out + payload


def cycle_buffer():
    # Init(20480), then fragments of 9984 (a long run), 29952 and 5 bytes.
    write("cycle_buffer_fuzzer", "reassembly", b"\x00" + u16(20480) + b"\x02\x9c" +
          b"\x02\xff" + b"\x01" + blob(b"abcde") + b"\x07\xff")
    # Init(8), abcdef, consume 4, ghij wraps round the end, a short read.
    write("cycle_buffer_fuzzer", "wrap", b"\x00" + u16(8) + b"\x01" + blob(b"abcdef") + b"\x03" +
          u16(4) + b"\x01" + blob(b"ghij") + b"\x07\x06" + b"\x06" + b"\x04" + u16(3))


def packet_reader():
    kinds = {"u8": 0, "u16": 1, "u32": 2, "text": 3, "string": 4, "binary": 5}

    def reader(schema, packet):
        return u8(len(schema)) + bytes(kinds[k] for k in schema) + b"\x00" + packet

    write("packet_reader_fuzzer", "login_reply", reader(["u16", "u32", "u32", "string"],
                                                         LOGIN_REPLY_OK))
    write("packet_reader_fuzzer", "kcp_text", reader(["u8", "string"], KCP_TEXT))
    write("packet_reader_fuzzer", "kcp_close", reader(["u8", "u32", "text"], KCP_CLOSE))
    login = (u16(0x63A9) + u8(2) + u8(1) + u32(0) + field(b"a") + field(b"b") + field(b"c") +
             field(b"d") + field(b"0" * 36) + u32(1200) + field(b"e"))
    write("packet_reader_fuzzer", "login", reader(
        ["u16", "u8", "u8", "u32", "text", "text", "text", "text", "text", "u32", "text"], login))
    # The writer: a u8, a u16, a u32 and a text, then a long binary field.
    write("packet_reader_fuzzer", "writer", u8(5) + bytes([0, 1, 2, 4, 5]) + b"\x01" + u32(5) +
          u32(25513) + u32(1) + blob(b"kcp") + blob(b"L"))
    # Raw bytes, the cursor moved back over them, a field written there.
    write("packet_reader_fuzzer", "writer_cursor", u8(3) + bytes([7, 6, 2]) + b"\x01" +
          blob(b"raw bytes") + u16(2) + u32(0x01020304))


def icmp_reply():
    ip = bytes([0x45, 0, 0, 36, 0, 0, 0x40, 0, 64, 1, 0, 0, 127, 0, 0, 1, 127, 0, 0, 1])
    echo = bytes([0, 0, 0, 0]) + struct.pack("<H", 110) + struct.pack("<H", 1) + b"\0" * 8
    write("icmp_reply_fuzzer", "echo_reply", b"\x00" + ip + echo)
    write("icmp_reply_fuzzer", "checksum", b"\x01" + bytes([8, 0, 0, 0, 110, 0, 1, 0]))
    write("icmp_reply_fuzzer", "checksum_odd", b"\x01" + bytes([8, 0, 0, 0, 110, 0, 1, 0, 0xAB]))
    write("icmp_reply_fuzzer", "own_request", b"\x02" + u16(1) + blob(ip) + b"payload")


def connection_params():
    write("connection_params_fuzzer", "kcp", PARAMS)
    write("connection_params_fuzzer", "tls", PARAMS[:-1] + b',"tls":"enable"}')
    write("connection_params_fuzzer", "numbers",
          b'{"server_ip":"::1","server_port_kcp":1.5,"server_port_ws":65535,'
          b'"server_port_wss":1,"account_id":7,"app_id":true,"device_type":-3,'
          b'"token":12345678901234,"deviceid":"","tls":null}')
    # Nested deeper than the JSON reader's limit: no JSON, and no exception either.
    write("connection_params_fuzzer", "deep", b"[" * 1100 + b"]" * 1100)


def certificate():
    # Made once and kept: a new key gives other bytes at every run.
    for name, key_args in (("certificate", ["ec", "-pkeyopt", "ec_paramgen_curve:P-256"]),
                           ("certificate_rsa_sha1", ["rsa:1024", "-sha1"])):
        existing = os.path.join(ROOT, "certificate_fuzzer", name)
        if os.path.exists(existing):
            with open(existing, "rb") as f:
                cert = f.read()[1:]
        else:
            cert = new_certificate(key_args)
        write("certificate_fuzzer", name, b"\x00" + cert)
    write("certificate_fuzzer", "utc_time", b"\x03" + b"491231235959Z")
    write("certificate_fuzzer", "generalized_time", b"\x04" + b"20380119031408Z")


def new_certificate(key_args):
    with tempfile.TemporaryDirectory() as tmp:
        der = os.path.join(tmp, "cert.der")
        # Only the certificate is kept: its key is thrown away with the directory.
        subprocess.run(["openssl", "req", "-x509", "-newkey"] + key_args + ["-nodes", "-keyout",
                        os.path.join(tmp, "key.pem"), "-subj", "/CN=zekcore fuzz seed",
                        "-days", "30", "-outform", "DER", "-out", der],
                       check=True, capture_output=True)
        with open(der, "rb") as f:
            return f.read()


def tcp_packet_socket():
    units = b"\x05hello" + b"\xff" + u16(3) + b"abc" + b"\x00"
    # The socket takes 4 bytes at first: the write goes out in pieces.
    write("tcp_packet_socket_fuzzer", "units",
          u32(4096) + b"\x04" + b"\x01" + b"\x00" + blob(units) + b"\x04" +
          blob(b"written out") + b"\x05\x03" + b"\x05\x10")
    # A limit of 300, a unit that can never fit, reads of 7 bytes, a blocked write.
    write("tcp_packet_socket_fuzzer", "overflow",
          u32(299) + b"\x00" + b"\x01" + b"\x02" + u16(7) + b"\x00" +
          blob(b"\xff\x01\x00" + b"x" * 40) + b"\x01" + u16(600) + b"\x03" + u16(0) + b"\x04" +
          blob(b"queued") + b"\x05\x00")


def websocket_client():
    close = u16(1000) + b'{"code":8002,"msg":"bye"}'
    write("websocket_client_fuzzer", "frames",
          b"\x01" + b"\x01" + u8(0x81) + blob(b"hello") + b"\x01" + u8(0x89) + blob(b"") +
          b"\x01" + u8(0xA1) + blob(b"masked") + u32(0x37FA213D) + b"\x05" + blob(b"text") +
          b"\x01" + u8(0x88) + blob(close) + u32(0))
    # The socket takes 8 bytes at a time: pongs and texts queue and go out in pieces.
    write("websocket_client_fuzzer", "slow_socket",
          b"\x05" + b"\x01" + u8(0x89) + blob(b"") + b"\x05" + blob(b"a text of some length") +
          b"\x04\x08" + b"\x04\x40")
    response = (b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                b"Connection: Upgrade\r\nSec-WebSocket-Accept: x\r\n\r\n")
    write("websocket_client_fuzzer", "bad_accept", b"\x00" + b"\x02\x03" + b"\x00" +
          blob(response + ws_frame(1, b"hi")))
    write("websocket_client_fuzzer", "length64", b"\x01" + b"\x00" + blob(b"\x82\x7f" + u32(0) +
                                                                           u32(70000)))
    # Pings with data get pongs with the same data; a close with status 4000 is answered
    # with 4000, the last 3 bytes the socket takes.
    write("websocket_client_fuzzer", "ping_data_and_close",
          b"\x01" + b"\x01" + u8(0x89) + blob(b"x") + u32(0) + b"\x01" + u8(0x89) +
          blob(b"\x00\x01\xfe\xff") + u32(0) + b"\x01" + u8(0x89) + blob(b"p" * 125) + u32(0) +
          b"\x05" + blob(b"text") + b"\x03" + u16(3) + b"\x01" + u8(0x88) +
          blob(u16(4000) + b'{"code":4001,"msg":"kicked"}') + u32(0))


def websocket_connection():
    write("websocket_connection_fuzzer", "login",
          b"\x02" + b"\x07" + blob(b'{"code":0,"msg":"ok"}') + b"\x07" + blob(b'{"a":1}') +
          b"\x02" + b"\x13" + blob(b'{"fragmented":"message"}') + b"\x04" + blob(b"app text") +
          b"\x03" + u16(30000) + b"\x01" + u8(0x89) + blob(b"") + b"\x03" + u16(30000) +
          b"\x03" + u16(30000))
    write("websocket_connection_fuzzer", "refused",
          b"\x02" + b"\x07" + blob(b'{"code":5003,"msg":"denied"}'))
    write("websocket_connection_fuzzer", "close_after_login",
          b"\x02" + b"\x07" + blob(b'{"code":0}') + b"\x01" + u8(0x88) +
          blob(u16(1000) + b'{"code":8002,"msg":"x"}'))
    write("websocket_connection_fuzzer", "timeouts", b"\x01" + b"\x03" + u16(10000))
    # The app's end after login, a text and a ping with data: a close frame 1000 follows;
    # once with the socket drained first, once with it taking 5 bytes at a time.
    session = (b"\x07" + blob(b'{"code":0}') + b"\x04" + blob(b"app text") + b"\x01" +
               u8(0x89) + blob(b"hb"))
    write("websocket_connection_fuzzer", "app_end", b"\x06" + session)
    write("websocket_connection_fuzzer", "app_end_backed_up",
          b"\x0e" + b"\x08\x01" + u16(5) + session)
    # After login the socket takes 5 bytes at a time: the app's text goes out in pieces.
    write("websocket_connection_fuzzer", "slow_socket",
          b"\x02" + b"\x07" + blob(b'{"code":0}') + b"\x08\x01" + u16(5) + b"\x04" +
          blob(b"a text from the app") + b"\x08\x02\x03" + b"\x08\x02\x40")


def kcp_engine():
    settings = u32(7) + u16(0x0102) + u32(0xFFFFFF00) + b"\x00" + b"\x05\x0a\x00" * 2
    ops = (b"\x00" + u16(10000) + b"\x80" + u16(300) + b"\x02" * 8 + b"\x03\x00" +
           b"\x83\x00" + b"\x01\x20")
    write("kcp_engine_fuzzer", "messages", settings + ops + b"\x03\x02\x01\x00")
    segment = kcp_segment(0x0102, 7, 81, 5, b"data")
    write("kcp_engine_fuzzer", "segment", settings + b"\x04\x00" + blob(segment) + b"\x84\x01" +
          blob(kcp_segment(0x0102, 7, 82, 0, b"") + kcp_segment(0x0102, 7, 84, 0, b"")))
    write("kcp_engine_fuzzer", "stream", u32(7) + u16(0x0102) + u32(0) + b"\x01" + b"\x00" * 6 +
          b"\x00" + u16(100) + b"\x00" + u16(100) + b"\x02" * 4 + b"\x03\x00")


def kcp_connection():
    reply = b"\x01" + b"\x01" + u16(0x0A0B) + u32(0x01020304) + blob(b"ok")
    write("kcp_connection_fuzzer", "session",
          u16(10000) + reply + b"\x04" + blob(b"hello") + b"\x06" + b"\x00" + blob(b"app text") +
          b"\x07\x20" + b"\x02" + u16(6000) + b"\x03" + blob(b"\x07unknown") + b"\x05" +
          u32(8002) + blob(b"bye") + b"\x00" + blob(LOGIN_REPLY_REFUSED))
    write("kcp_connection_fuzzer", "raw_reply", u16(500) + b"\x00" + blob(LOGIN_REPLY_OK) +
          b"\x02" + u16(20000))
    write("kcp_connection_fuzzer", "timeout", u16(300) + b"\x02" + u16(400) + b"\x00" +
          blob(b"\x00\x01\x00"))


def main():
    for make in (cycle_buffer, packet_reader, icmp_reply, connection_params, certificate,
                 tcp_packet_socket, websocket_client, websocket_connection, kcp_engine,
                 kcp_connection):
        make()


if __name__ == "__main__":
    main()
