#pragma once
// libcurl, loaded at run time on the first PAC download.
//
// libcurl is used for one thing only, fetching a PAC file over http(s), which most users never
// need. Linked at start it pulled in 26 more shared libraries (GnuTLS, Kerberos, LDAP, SSH,
// RTMP, ...), which cost about 4 MiB of resident memory and a good part of the dynamic loader's
// time in every start. So it is not linked: the first download opens
// "libcurl.so.4" with dlopen and resolves the few functions it calls. <curl/curl.h> is used for
// types and constants only. The library stays loaded for the life of the process (libcurl's
// global state does not survive unloading).
//
// Thread safety: WSCurl() may be called from any thread; the loading and curl_global_init run
// once. WSCurlLoadFrom() loads afresh on every call and never runs curl_global_init.

#include <curl/curl.h>

#include <string>

/// The libcurl functions the PAC download calls, with libcurl's own signatures.
struct WSCurlFunctions {
  decltype(&curl_global_init) globalInit = nullptr;
  decltype(&curl_easy_init) easyInit = nullptr;
  decltype(&curl_easy_setopt) easySetopt = nullptr;
  decltype(&curl_easy_perform) easyPerform = nullptr;
  decltype(&curl_easy_getinfo) easyGetinfo = nullptr;
  decltype(&curl_easy_cleanup) easyCleanup = nullptr;
  decltype(&curl_easy_strerror) easyStrerror = nullptr;
};

/// The sonames tried in order: the OpenSSL build, then the GnuTLS build (same ABI).
inline constexpr const char* WSCurlLibraryNames[] = {"libcurl.so.4", "libcurl-gnutls.so.4"};

/// libcurl, loaded and initialised on the first call; nullptr when it cannot be loaded or
/// initialised, and then `reason` (if given) says why. The answer of the first call is kept.
const WSCurlFunctions* WSCurl(std::string* reason = nullptr);

/// Opens `soname` and resolves every function; false (and `reason`) when the library or one of
/// the functions is missing, and then nothing stays open. A test seam for the failure path.
bool WSCurlLoadFrom(const char* soname, WSCurlFunctions& functions, std::string& reason);
