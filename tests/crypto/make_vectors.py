#!/usr/bin/python3
"""Known answers for the secure format's cryptography, from implementations
that share no code with ours: Debian's python3-dissononce for the handshake
Noise_NNpsk0_25519_ChaChaPoly_BLAKE2b and its transport messages, and
argon2-cffi (python3-argon2) for the group key.

usage: make_vectors.py OUT          writes the vectors
       make_vectors.py --check OUT  fails unless OUT holds what it would write"""
import hashlib
import sys

from argon2.low_level import Type, hash_secret_raw
from dissononce.cipher.chachapoly import ChaChaPolyCipher
from dissononce.dh.x25519.private import PrivateKey
from dissononce.dh.x25519.x25519 import X25519DH
from dissononce.hash.blake2b import Blake2bHash
from dissononce.processing.handshakepatterns.interactive.NN import NNHandshakePattern
from dissononce.processing.impl.cipherstate import CipherState
from dissononce.processing.impl.handshakestate import HandshakeState
from dissononce.processing.impl.symmetricstate import SymmetricState
from dissononce.extras.dh.dangerous.dh_nogen import NoGenDH
from dissononce.processing.modifiers.psk import PSKPatternModifier

PROLOGUE = b"zeptrixv2.2"
SALT = b"zeptrix-group-v2"
PSK = bytes(range(0x20, 0x40))
INITIATOR_E = bytes((i * 7 + 1) % 256 for i in range(32))
RESPONDER_E = bytes((i * 11 + 5) % 256 for i in range(32))
# The session's messages (F, D, E, S, Q one way; A, R, O the other), an empty one and the largest.
TIMED_FILE = (b"F" + (300000).to_bytes(8, "little") + b"\x03" + b"T" * 16
              + (1234567890123456789).to_bytes(8, "little", signed=True) + b"a.bin")
OFFSET = b"O\x01\x00\x00\x00" + (1000).to_bytes(8, "little") + hashlib.blake2b(b"\x00" * 1000, digest_size=32).digest()
TO_RESPONDER = [b"", b"F" + b"\x00" * 9 + b"photos\\a.jpg", TIMED_FILE, b"D" + bytes(range(256)) * 4, b"E", b"S",
                b"Q"]
TO_INITIATOR = [b"A\x01\x00\x00\x00", b"R\x02\x00\x00\x00\x01", OFFSET, b"", b"x" * 65519]
SECRETS = [b"correct horse battery staple", b"sixteen letters!", b"a much longer shared secret, " * 4]


def handshake_state(initiator, ephemeral):
    """A handshake whose ephemeral key is the given one instead of a drawn one."""
    dh = NoGenDH(X25519DH(), PrivateKey(ephemeral))
    state = HandshakeState(SymmetricState(CipherState(ChaChaPolyCipher()), Blake2bHash()), dh)
    pattern = PSKPatternModifier(0).modify(NNHandshakePattern())
    state.initialize(pattern, initiator, PROLOGUE, psks=(PSK,))
    return state


def lines():
    out = ["# made by tests/crypto/make_vectors.py; see there", "prologue " + PROLOGUE.hex(),
           "psk " + PSK.hex(), "initiator_ephemeral " + INITIATOR_E.hex(),
           "responder_ephemeral " + RESPONDER_E.hex()]
    initiator = handshake_state(True, INITIATOR_E)
    responder = handshake_state(False, RESPONDER_E)
    first = bytearray()
    initiator.write_message(b"", first)
    responder.read_message(bytes(first), bytearray())
    second = bytearray()
    responder_ciphers = responder.write_message(b"", second)
    initiator_ciphers = initiator.read_message(bytes(second), bytearray())
    out += ["first_message " + bytes(first).hex(), "second_message " + bytes(second).hex(),
            "handshake_hash " + initiator.symmetricstate.get_handshake_hash().hex()]
    # The first cipher state carries the initiator's messages.
    to_responder, to_initiator = initiator_ciphers[0], responder_ciphers[1]
    for plain in TO_RESPONDER:
        out += ["to_responder_plain " + plain.hex(),
                "to_responder_sealed " + to_responder.encrypt_with_ad(b"", plain).hex()]
    for plain in TO_INITIATOR:
        out += ["to_initiator_plain " + plain.hex(),
                "to_initiator_sealed " + to_initiator.encrypt_with_ad(b"", plain).hex()]
    for secret in SECRETS:
        key = hash_secret_raw(secret, SALT, time_cost=3, memory_cost=65536, parallelism=1, hash_len=32,
                              type=Type.ID)
        out += ["secret " + secret.hex(), "group_key " + key.hex()]
    return "\n".join(out) + "\n"


def main():
    args = sys.argv[1:]
    if args and args[0] == "--check":
        with open(args[1]) as f:
            if f.read() != lines():
                print("%s differs from what the independent implementations give now" % args[1])
                return 1
        return 0
    if len(args) != 1:
        print(__doc__)
        return 2
    with open(args[0], "w") as f:
        f.write(lines())
    return 0


if __name__ == "__main__":
    sys.exit(main())
