#pragma once
// OpenSSL's one-time set-up, done when TLS is first needed (a wss:// connection, an https PAC
// download, a pinned chain to verify), never at program start: a plug-in that only talks plain
// ws:// on loopback never initialises it and keeps its memory.

/// Initialises libcrypto and libssl once, without their exit-time clean-up. Thread-safe.
void WSOpenSSLInitialize();
