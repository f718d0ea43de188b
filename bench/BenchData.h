#pragma once
// What the benchmarks share: a blocking Connector/C connection with the built-in account, and the
// deterministic records they seed (about 1 KB each, Chinese and English, CR LF lines; a title carries
// "grp<i % 100>" and its number, a body its number after "#").
#include <QByteArray>
#include <QElapsedTimer>

#include <mysql.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr const char* kUser = "qelmorand";
constexpr const char* kPassword = "40628173";

// ---- Connector/C, blocking -------------------------------------------------------------------

struct RawClose {
    void operator()(MYSQL* m) const { mysql_close(m); }
};
struct RawFree {
    void operator()(MYSQL_RES* r) const { mysql_free_result(r); }
};
using RawConn = std::unique_ptr<MYSQL, RawClose>;
using RawResult = std::unique_ptr<MYSQL_RES, RawFree>;

[[noreturn]] void raise(MYSQL* m, const std::string& what) {
    throw std::runtime_error(what + ": " + mysql_error(m));
}

RawConn rawConnect(const QByteArray& host, unsigned port) {
    RawConn conn(mysql_init(nullptr));
    if (!conn)
        throw std::runtime_error("mysql_init failed");
    mysql_options(conn.get(), MYSQL_SET_CHARSET_NAME, "utf8mb4");
    // TLS whenever the server offers it, as the control's sessions (the throwaway server serves TLS).
    mysql_ssl_set(conn.get(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!mysql_real_connect(conn.get(), host.constData(), kUser, kPassword, nullptr, port, nullptr, 0))
        raise(conn.get(), "connecting to " + host.toStdString() + ":" + std::to_string(port));
    return conn;
}

void exec(MYSQL* m, const std::string& sql) {
    if (mysql_real_query(m, sql.data(), sql.size()))
        raise(m, "statement failed (" + sql.substr(0, 80) + ")");
    // Drain a result if the statement produced one.
    RawResult res(mysql_store_result(m));
    if (!res && mysql_field_count(m) != 0)
        raise(m, "reading the result");
}

// The rows of a statement as text (NULL as std::nullopt).
std::vector<std::vector<std::optional<std::string>>> queryRows(MYSQL* m, const std::string& sql) {
    if (mysql_real_query(m, sql.data(), sql.size()))
        raise(m, "statement failed (" + sql.substr(0, 80) + ")");
    RawResult res(mysql_store_result(m));
    if (!res)
        raise(m, "reading the result");
    const unsigned n = mysql_num_fields(res.get());
    std::vector<std::vector<std::optional<std::string>>> rows;
    while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
        const unsigned long* len = mysql_fetch_lengths(res.get());
        auto& out = rows.emplace_back();
        for (unsigned i = 0; i < n; ++i)
            out.push_back(row[i] ? std::optional<std::string>(std::string(row[i], len[i])) : std::nullopt);
    }
    return rows;
}

std::string quoted(MYSQL* m, const std::string& value) {
    std::string out(value.size() * 2 + 3, '\0');
    out[0] = '\'';
    const unsigned long n = mysql_real_escape_string(m, out.data() + 1, value.data(), value.size());
    out.resize(n + 1);
    out += '\'';
    return out;
}

// ---- The seeded records (deterministic) --------------------------------------------------------

struct Rng {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    template <std::size_t N> const char* pick(const char* const (&pool)[N]) { return pool[next() % N]; }
};

// Present in every title and every body.
constexpr const char* kCommon = "vk条目";

constexpr const char* kTitleCn[] = {"备份", "配置", "查询", "报表", "网络", "测试",
                                    "导出", "账号", "日志", "部署", "脚本", "权限"};
constexpr const char* kTitleEn[] = {"notes", "howto",   "script", "report",    "setup",
                                    "faq",   "snippet", "draft",  "checklist", "memo"};
constexpr const char* kSentenceEn[] = {
    "The quick brown fox jumps over the lazy dog near the river bank.",
    "Restart the service after changing the connection settings.",
    "Use a prepared statement when the value comes from the user.",
    "Backups run every night at two o'clock and keep seven copies.",
    "Check the log file for warnings before you file a new ticket.",
    "The report lists every order placed during the last quarter.",
    "Select the rows, copy them, and paste them into the sheet.",
    "Timeouts usually mean the network or the server is overloaded.",
    "Keep the window responsive while long statements are running.",
    "Ask the team before you change a shared configuration file.",
};
constexpr const char* kSentenceCn[] = {
    "数据库连接失败时请先检查网络和账号设置。", "每天晚上两点自动备份，保留最近七份。",
    "这段代码用于读取配置文件并初始化界面。",   "查询结果按照服务器返回的顺序显示在列表中。",
    "修改记录之前请确认没有其他人正在编辑。",   "导出的文件保存在控件所在的目录里。",
    "请在提交之前运行全部测试并记录结果。",     "性能问题通常来自一次读取过多的数据。",
    "新同事入职后需要先申请数据库账号。",       "遇到乱码时请确认客户端使用的字符集。",
};

std::string recordId(int i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "2024%015d", i); // 19 characters, the key column's width
    return buf;
}

std::string recordTitle(int i) {
    Rng rng{0x5EED0000ull + static_cast<std::uint64_t>(i)};
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s %s %s %06d grp%02d", kCommon, rng.pick(kTitleCn), rng.pick(kTitleEn),
                  i, i % 100);
    return buf;
}

// About 1 KB of UTF-8 in lines ended by CR LF, Chinese and English mixed.
std::string recordBody(int i) {
    Rng rng{0xB0D70000ull + static_cast<std::uint64_t>(i)};
    char first[96];
    std::snprintf(first, sizeof first, "%s 正文 #%06d", kCommon, i);
    std::string body = first;
    while (body.size() < 960) {
        body += "\r\n";
        const int sentences = 1 + static_cast<int>(rng.next() % 3);
        for (int s = 0; s < sentences; ++s) {
            if (s)
                body += ' ';
            body += (rng.next() & 1) ? rng.pick(kSentenceCn) : rng.pick(kSentenceEn);
        }
    }
    return body;
}

// Creates the database, table and view; seeds `records` records unless they are already there.
void prepareDatabase(MYSQL* m, const char* database, int records) {
    exec(m, std::string("CREATE DATABASE IF NOT EXISTS `") + database +
                "` CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci");
    if (mysql_select_db(m, database))
        raise(m, "selecting the database");
    exec(m, "CREATE TABLE IF NOT EXISTS `SearchTxt_Data` ("
            "  `dataid`         VARCHAR(19) NOT NULL,"
            "  `name`           TEXT,"
            "  `data`           MEDIUMTEXT,"
            "  `createdatetime` DATETIME,"
            "  `modidatetime`   DATETIME,"
            "  `desc`           TEXT,"
            "  `keys`           TEXT,"
            "  `creator`        TEXT,"
            "  PRIMARY KEY (`dataid`)"
            ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci");
    exec(m, "CREATE OR REPLACE VIEW `VW_SearchTxt_Name` AS "
            "SELECT `dataid` AS `DataID`, `name` FROM `SearchTxt_Data`");

    // Same count, and the first and last records as generated: nothing to do.
    bool current = false;
    const auto count = queryRows(m, "select count(*) from SearchTxt_Data");
    if (!count.empty() && count[0][0] && std::stoll(*count[0][0]) == records) {
        current = true;
        for (int i : {0, records - 1}) {
            const auto rows = queryRows(m, "select `name`,`data` from SearchTxt_Data where `dataid`=" +
                                               quoted(m, recordId(i)));
            if (rows.size() != 1 || rows[0][0] != recordTitle(i) || rows[0][1] != recordBody(i))
                current = false;
        }
    }
    if (current) {
        std::fprintf(stderr, "bench: %s already holds the %d records\n", database, records);
        return;
    }

    QElapsedTimer t;
    t.start();
    std::fprintf(stderr, "bench: seeding %d records into %s ...\n", records, database);
    exec(m, "TRUNCATE TABLE SearchTxt_Data");
    constexpr int kBatch = 1000;
    constexpr int kCommitEvery = 100000;
    const std::string head =
        "INSERT INTO SearchTxt_Data "
        "(`dataid`,`name`,`data`,`createdatetime`,`modidatetime`,`desc`,`keys`,`creator`) VALUES ";
    std::string sql;
    for (int start = 0; start < records; start += kBatch) {
        if (start % kCommitEvery == 0)
            exec(m, "START TRANSACTION");
        sql = head;
        const int end = std::min(records, start + kBatch);
        for (int i = start; i < end; ++i) {
            if (i > start)
                sql += ',';
            sql += '(';
            sql += quoted(m, recordId(i));
            sql += ',';
            sql += quoted(m, recordTitle(i));
            sql += ',';
            sql += quoted(m, recordBody(i));
            sql += ",'2024-01-01 08:00:00','2024-01-02 09:30:00','','bench','bench')";
        }
        exec(m, sql);
        if (end % kCommitEvery == 0 || end == records) {
            exec(m, "COMMIT");
            if (records > 100000)
                std::fprintf(stderr, "bench: %d records (%.0f s)\n", end, t.elapsed() / 1000.0);
        }
    }
    std::fprintf(stderr, "bench: seeded in %.1f s\n", t.elapsed() / 1000.0);
}

} // namespace
