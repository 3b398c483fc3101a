#include "DownloadURL.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "IniFiles.h"
#include "MessageBoxes.h"
#include "ProjectBase.h"
#include "ResStrs.h"
#include "shell_open.h"

namespace pruvell {

namespace {

constexpr int64_t version_file_max_bytes = 64 * 1024;
constexpr long connect_timeout_s = 30;
constexpr long stall_timeout_s = 60; // less than 1 byte/s for this long ends a transfer
constexpr auto cancel_grace = std::chrono::seconds(5);

std::atomic<bool> update_cancelled{false};
std::atomic<int> poll_interval_ms{500};

void GlobalCurlInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct transfer {
    QSaveFile* out = nullptr;
    QCryptographicHash hash{QCryptographicHash::Sha256};
    int64_t received = 0;
    int64_t limit = -1;
    bool too_large = false;
    bool write_failed = false;
    const std::atomic<bool>* cancel = nullptr;
};

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<transfer*>(user);
    const size_t n = size * count;
    if (t->limit >= 0 && t->received + static_cast<int64_t>(n) > t->limit) {
        t->too_large = true;
        return 0;
    }
    if (t->out->write(data, static_cast<qint64>(n)) != static_cast<qint64>(n)) {
        t->write_failed = true;
        return 0;
    }
    t->hash.addData(QByteArrayView(data, static_cast<qsizetype>(n)));
    t->received += static_cast<int64_t>(n);
    return n;
}

int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* t = static_cast<const transfer*>(user);
    return t->cancel != nullptr && t->cancel->load() ? 1 : 0;
}

// Everything the download thread reads, and its result. Shared, so that a
// thread that outlives the wait (a cancel it did not see in time) still
// owns what it uses.
struct download_job {
    QString url;
    QString file;
    TDownloadCheck check;
    std::atomic<bool> cancel{false};
    std::atomic<uint32_t> exit_code{still_active};
    TDownloaded written; // read only once exit_code is 0
};

// The setup program is started as a program: owner may read, write, run.
constexpr QFileDevice::Permissions setup_permissions =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;

void UpdateDownloadThread(std::shared_ptr<download_job> job) {
    uint32_t rc = download_error_file;
    try {
        rc = DownloadFile(job->url, job->file, job->check, &job->cancel, &job->written);
    } catch (...) {
        // Out of memory: the download failed, and its waiter learns so.
    }
    if (rc == 0 && !QFile::setPermissions(job->file, setup_permissions)) rc = download_error_file;
    // Nothing of a failed download stays: DownloadFile left no file, and a
    // setup program that cannot be made runnable goes too.
    if (rc != 0) QFile::remove(job->file);
    job->exit_code.store(rc);
}

QByteArray ParseDigest(const QString& hex) {
    const QString t = hex.trimmed();
    if (t.size() != 64) return {};
    for (QChar c : t)
        if (!c.isDigit() && !(c.toLower() >= u'a' && c.toLower() <= u'f')) return {};
    return QByteArray::fromHex(t.toLatin1());
}

QString Log(const char* utf8) {
    return QString::fromUtf8(utf8);
}

} // namespace

QString UpdateDirectory() {
    const QString data = DataDirectory();
    if (data.isEmpty()) return QString();
    const QString dir = data + QStringLiteral("update/");
    QDir().mkpath(dir);
    return dir;
}

uint32_t DownloadFile(const QString& url, const QString& file, const TDownloadCheck& check,
                      const std::atomic<bool>* cancel, TDownloaded* written) {
    const QString scheme = url.trimmed().section(u':', 0, 0).toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return download_error_url;
    GlobalCurlInit();

    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly)) return download_error_file;
    transfer t;
    t.out = &out;
    t.limit = check.size >= 0 ? check.size : check.max_bytes;
    t.cancel = cancel;

    CURL* curl = curl_easy_init();
    if (curl == nullptr) return CURLE_FAILED_INIT;
    const QByteArray address = url.trimmed().toUtf8();
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Cache-Control: no-cache");
    headers = curl_slist_append(headers, "Pragma: no-cache");
    curl_easy_setopt(curl, CURLOPT_URL, address.constData());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connect_timeout_s);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stall_timeout_s);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, Progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);
    const CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);

    uint32_t result = 0;
    if (t.too_large)
        result = download_error_size;
    else if (t.write_failed)
        result = download_error_file;
    else if (rc == CURLE_HTTP_RETURNED_ERROR && status >= 400)
        result = static_cast<uint32_t>(status);
    else if (rc != CURLE_OK)
        result = static_cast<uint32_t>(rc);
    else if (status < 200 || status > 299)
        result = static_cast<uint32_t>(status);
    else if (check.size >= 0 && t.received != check.size)
        result = download_error_size;
    else if (!check.sha256.isEmpty() && t.hash.result() != check.sha256)
        result = download_error_digest;
    if (result != 0) {
        out.cancelWriting(); // the temporary file goes, `file` stays as it was
        return result;
    }
    if (!out.commit()) return download_error_file;
    if (written != nullptr) *written = {t.received, t.hash.result()};
    return 0;
}

uint32_t VerifySetupFile(const QString& file, int64_t size, const QByteArray& sha256) {
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) return download_error_file;
    if (size < 0 || in.size() != size) return download_error_size;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&in)) return download_error_file;
    return sha256.size() == 32 && hash.result() == sha256 ? 0 : download_error_digest;
}

int ReadUpdateVersions(const QString& clientFile, TUpdateVersions& versions) {
    versions = TUpdateVersions{};
    if (!QFileInfo::exists(clientFile)) return 2;
    const TIniFile client(clientFile);
    if (client.loadStatus() != TIniLoad::ok) return 1;
    versions.ClientVersion =
        client.ReadString(QStringLiteral("Mgr"), QStringLiteral("Version"), {});
    const QString versionFile =
        client.ReadString(QStringLiteral("URL"), QStringLiteral("VersionFile"), {});

    const QString server =
        QFileInfo(clientFile).absolutePath() + QStringLiteral("/ServerConfig.txt");
    QFile::remove(server);
    TDownloadCheck check;
    check.max_bytes = version_file_max_bytes;
    if (DownloadFile(versionFile, server, check) != 0 || !QFileInfo::exists(server)) return 3;

    const TIniFile ini(server);
    versions.ServerVersion = ini.ReadString(QStringLiteral("Mgr"), QStringLiteral("Version"), {});
    versions.SetupUrl = ini.ReadString(QStringLiteral("URL"), QStringLiteral("UpdateFile"), {});
    // Optional: a server may announce what the setup program is.
    const QString sizeText =
        ini.ReadString(QStringLiteral("URL"), QStringLiteral("UpdateSize"), {}).trimmed();
    const QString digestText =
        ini.ReadString(QStringLiteral("URL"), QStringLiteral("UpdateSHA256"), {}).trimmed();
    if (!sizeText.isEmpty()) {
        bool ok = false;
        const qint64 size = sizeText.toLongLong(&ok);
        if (ok && size >= 0)
            versions.SetupSize = size;
        else
            versions.SetupCheckUnreadable = true;
    }
    if (!digestText.isEmpty()) {
        versions.SetupSha256 = ParseDigest(digestText);
        if (versions.SetupSha256.size() != 32) versions.SetupCheckUnreadable = true;
    }
    return 0;
}

bool AppendUpdateLog(const QString& logFile, const QString& text) {
    QFile log(logFile);
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append)) return false;
    const QLocale locale = QLocale::system();
    const QDateTime now = QDateTime::currentDateTime();
    const QString line = locale.toString(now.date(), QLocale::ShortFormat) + u' ' +
                         locale.toString(now.time(), QLocale::LongFormat) + QString(QChar(0xFF1A)) +
                         text + u'\n';
    const QByteArray bytes = line.toUtf8();
    return log.write(bytes) == bytes.size() && log.flush();
}

void WaitPumping(int ms) {
    for (int i = 0; i < ms / 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

void CancelUpdate() {
    update_cancelled.store(true);
    (void)AnswerOpenQuestionsNo();
}

bool UpdateCancelled() {
    return update_cancelled.load();
}

void SetUpdateCancelled(bool cancelled) {
    update_cancelled.store(cancelled);
}

void SetUpdatePollInterval(int ms) {
    poll_interval_ms.store(ms < 10 ? 10 : ms);
}

void CheckForUpdate(QWidget* parent, const std::function<bool()>& exitRequested) {
    const QString dir = UpdateDirectory();
    if (dir.isEmpty()) return;
    const QString log = dir + QStringLiteral("Logs.txt");
    TUpdateVersions v;
    const int code = ReadUpdateVersions(dir + QStringLiteral("ClientConfig.ini"), v);
    if (code != 0) {
        (void)AppendUpdateLog(log,
                              code == 3 ? Log("服务端版本更新失败") : Log("客户端配置文件不存在"));
        return;
    }
    if (!AppendUpdateLog(log, FormatText(QStringLiteral("Server Ver = %s  Client Ver = %s"),
                                         {v.ServerVersion, v.ClientVersion})))
        return;
    const QString setup = dir + QStringLiteral("vKessa_Setup.exe");
    if (v.ServerVersion.compare(v.ClientVersion, Qt::CaseSensitive) <= 0) {
        (void)AppendUpdateLog(log, Log("未检测到新版本"));
        return;
    }
    if (!AppendUpdateLog(log, Log("服务器版本高于客户端版本"))) return;
    if (v.SetupUrl.trimmed().isEmpty() || v.SetupCheckUnreadable) {
        // No setup program named, or one announced with a size or digest
        // that cannot be checked: the server's version file is not usable
        // for an update.
        (void)AppendUpdateLog(log, Log("服务端版本更新失败"));
        return;
    }
    if (!AskQuestion(parent, Text(u"Update_Info"))) {
        (void)AppendUpdateLog(log, Log("放弃更新"));
        return;
    }
    if (!AppendUpdateLog(log, Log("开始更新..."))) return;

    // An older setup program is never what gets offered.
    QFile::remove(setup);
    auto job = std::make_shared<download_job>();
    job->url = v.SetupUrl;
    job->file = setup;
    job->check.size = v.SetupSize;
    job->check.sha256 = v.SetupSha256;
    job->check.max_bytes = setup_max_bytes;
    std::thread worker(UpdateDownloadThread, job);

    uint32_t exit_code = still_active;
    bool cancelled = false;
    for (;;) {
        if (exitRequested() || UpdateCancelled()) {
            cancelled = true;
            break;
        }
        exit_code = job->exit_code.load();
        if (exit_code != still_active) break;
        WaitPumping(poll_interval_ms.load());
    }
    if (cancelled) {
        job->cancel.store(true);
        const auto deadline = std::chrono::steady_clock::now() + cancel_grace;
        while (job->exit_code.load() == still_active && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (job->exit_code.load() == still_active)
            worker.detach(); // it ends by itself; the job is its own
        else
            worker.join();
        if (job->exit_code.load() != still_active) QFile::remove(setup);
        (void)AppendUpdateLog(log, Log("放弃更新"));
        return;
    }
    worker.join();
    if (exit_code != 0) {
        (void)AppendUpdateLog(log, Log("失败更新，返回值 = ") + QString::number(exit_code));
        return;
    }
    if (!AskQuestion(parent, Text(u"Update_Down_OK"))) {
        (void)AppendUpdateLog(log, Log("放弃安装"));
        return;
    }
    // Checked again right before it runs: the file is what was downloaded
    // (and so what the server announced, when it did), not something put
    // there while the question was open.
    if (const uint32_t rc = VerifySetupFile(setup, job->written.size, job->written.sha256);
        rc != 0) {
        QFile::remove(setup);
        (void)AppendUpdateLog(log, Log("失败更新，返回值 = ") + QString::number(rc));
        return;
    }
    (void)plat::shell_open(setup.toStdString());
}

} // namespace pruvell
