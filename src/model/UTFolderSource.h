#pragma once
// One endpoint of a sync task: which kind of place, where, and how to log on.

#include <cstdint>
#include <string>

namespace tandemora {

// Endpoint kinds. A new endpoint has kind 0, which no endpoint class serves.
enum : int32_t {
    dtNone = 0,
    dtLocal = 1,    // local folder (or a path starting with two separators: an SMB share)
    dtNetShare = 2, // folder on a network server, with a log-on
    dtFtp = 3,
    dtSftp = 4, // listed by the folder picker only; no endpoint
    dtWebDav = 5,
    dtWinMobile = 6, // listed by the folder picker only; no endpoint
};

class TFolderSource {
public:
    int32_t DeviceType = 0;
    std::string FolerAllName; // the folder: a path, or a URL beginning "ftp://" or "http://"
    int32_t validate = 0;
    std::string UserName;
    std::string PWD; // plain in memory; scrambled only in the task file
    int32_t ActiveMode = 0;
    int32_t FactTime = 0;
    std::string PrivateKey;
    std::string ProxyName;
    std::string ProxyBypass;
    std::string ServerInfo; // copied from the endpoint after a scan, shown by the task window
};

} // namespace tandemora
