#!/usr/bin/env python3
"""Credentials computed independently of the library, for the HTTP tests:
digest USER REALM PASSWORD METHOD URI NONCE (the RFC 2069 response), htpasswd USER PASSWORD
(a {SHA} line for Apache and nginx), htdigest USER REALM PASSWORD (Apache's digest file)."""
import base64
import hashlib
import sys


def md5(text):
    return hashlib.md5(text.encode("utf-8")).hexdigest()


KINDS = {
    "digest": lambda user, realm, password, method, uri, nonce: md5(
        f"{md5(f'{user}:{realm}:{password}')}:{nonce}:{md5(f'{method}:{uri}')}"),
    "htpasswd": lambda user, password: f"{user}:{{SHA}}"
    + base64.b64encode(hashlib.sha1(password.encode("utf-8")).digest()).decode(),
    "htdigest": lambda user, realm, password: f"{user}:{realm}:{md5(f'{user}:{realm}:{password}')}",
}

print(KINDS[sys.argv[1]](*sys.argv[2:]))
