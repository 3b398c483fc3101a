// The update check: the installed version ("ClientConfig.ini" of the update
// directory) against the version in the server's version file, and, when the
// server's is higher and the user agrees, the download of the setup program
// on a worker thread and the offer to start it. Every step goes into the
// update log "Logs.txt".
//
// Downloads are HTTP or HTTPS only (libcurl), written to a temporary file
// and put in place only when complete; a download that fails, is cut off or
// is cancelled leaves no file behind. The server's version file gives
// "Version" [Mgr] and "UpdateFile" [URL]; it may also give the setup
// program's size in bytes ("UpdateSize" [URL]) and its SHA-256 digest in hex
// ("UpdateSHA256" [URL]). What it gives is checked: a setup program of
// another size or digest is never offered or started, and a version file
// whose size or digest cannot be read offers nothing. The setup program is
// started only as it was downloaded (its digest is taken again first).
#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>

class QWidget;

namespace pruvell {

// GetExitCodeThread's "still running".
inline constexpr uint32_t still_active = 259;

// Results of DownloadFile besides 0, libcurl's codes (below 100) and HTTP
// status codes (400 and up).
inline constexpr uint32_t download_error_size = 1001;   // not the size announced
inline constexpr uint32_t download_error_digest = 1002; // not the SHA-256 announced
inline constexpr uint32_t download_error_file = 1003;   // the file cannot be written
inline constexpr uint32_t download_error_url = 1004;    // not an http or https address

// The most a setup program of no announced size may be.
inline constexpr int64_t setup_max_bytes = int64_t{1} << 30;

// <data directory>/update/, created with its parents when missing.
QString UpdateDirectory();

// What a download must be to be accepted.
struct TDownloadCheck {
    int64_t size = -1; // exact size in bytes; -1: any size up to max_bytes
    QByteArray sha256; // 32 bytes; empty: not checked
    int64_t max_bytes = -1;
};

// What a download wrote.
struct TDownloaded {
    int64_t size = -1;
    QByteArray sha256;
};

// Downloads `url` into `file`: 0, or the libcurl code, the HTTP status, or
// one of the download_error_ codes. `file` is replaced only by a complete
// download that passes `check`; otherwise it is left as it was and no
// temporary file remains. `cancel`, when set, stops the transfer (result
// CURLE_ABORTED_BY_CALLBACK, 42). `written`, when given, gets the size and
// SHA-256 of what was put in place.
uint32_t DownloadFile(const QString& url, const QString& file, const TDownloadCheck& check = {},
                      const std::atomic<bool>* cancel = nullptr, TDownloaded* written = nullptr);

// Size and SHA-256 of a file on disk against the expected ones: 0, or
// download_error_size / download_error_digest / download_error_file.
uint32_t VerifySetupFile(const QString& file, int64_t size, const QByteArray& sha256);

struct TUpdateVersions {
    QString ClientVersion;
    QString ServerVersion;
    QString SetupUrl;
    int64_t SetupSize = -1; // -1 when the version file gives none
    QByteArray SetupSha256; // 32 bytes; empty when the version file gives none
    // "UpdateSize" is there but no size, or "UpdateSHA256" but no digest.
    bool SetupCheckUnreadable = false;
};

// 0 all read, 1 the client file cannot be read, 2 no client file, 3 the
// server version file could not be downloaded (an old copy is deleted
// first).
int ReadUpdateVersions(const QString& clientFile, TUpdateVersions& versions);

// One line: the date and time, "：", the text. False when the log cannot be
// opened or written (which ends the update check).
bool AppendUpdateLog(const QString& logFile, const QString& text);

// ms / 10 rounds of a 10 ms sleep followed by processing the pending events.
void WaitPumping(int ms);

// The whole check. `exitRequested` tells whether the program is closing; the
// wait for the download ends then, or when the command "Update" arrives,
// and nothing is offered.
void CheckForUpdate(QWidget* parent, const std::function<bool()>& exitRequested);

// The command "Update": the update-cancelled flag is set and the program's
// open questions (AskQuestion, MessageBoxes.h) are answered with "No".
void CancelUpdate();
bool UpdateCancelled();
void SetUpdateCancelled(bool cancelled);

// How often the wait looks at the download thread (500 ms; tests shorten it).
void SetUpdatePollInterval(int ms);

} // namespace pruvell
