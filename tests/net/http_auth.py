#!/usr/bin/env python3
"""Credentials computed independently of the library, for the HTTP tests.

digest USER REALM PASSWORD METHOD URI NONCE  -> the RFC 2069 response (32 hex digits)
htpasswd USER PASSWORD                        -> a {SHA} line for Apache and nginx password files
htdigest USER REALM PASSWORD                  -> a line for Apache's digest password file
"""
import base64
import hashlib
import sys


def md5(text):
    return hashlib.md5(text.encode("utf-8")).hexdigest()


def main(argv):
    kind, args = argv[1], argv[2:]
    if kind == "digest":
        user, realm, password, method, uri, nonce = args
        ha1 = md5(f"{user}:{realm}:{password}")
        ha2 = md5(f"{method}:{uri}")
        print(md5(f"{ha1}:{nonce}:{ha2}"))
    elif kind == "htpasswd":
        user, password = args
        sha = base64.b64encode(hashlib.sha1(password.encode("utf-8")).digest()).decode()
        print(f"{user}:{{SHA}}{sha}")
    elif kind == "htdigest":
        user, realm, password = args
        print(f"{user}:{realm}:{md5(f'{user}:{realm}:{password}')}")
    else:
        sys.exit(f"unknown kind {kind}")


if __name__ == "__main__":
    main(sys.argv)
