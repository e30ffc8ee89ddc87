#include "SessionActivity.h"

#include "OleException.h"
#include "ServerData.h"

namespace {

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool Digits(std::string_view s, std::size_t at, std::size_t n, unsigned& out) {
    if (at + n > s.size())
        return false;
    out = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        out = out * 10 + static_cast<unsigned>(s[i] - '0');
    }
    return true;
}

// Milliseconds since 1970 of "yyyy-mm-dd hh:mi:ss[.f[f[f]]]".
std::optional<std::int64_t> ParseTime(std::string_view s) {
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
    if (s.size() < 19 || s.size() > 23 || !Digits(s, 0, 4, y) || s[4] != '-' ||
        !Digits(s, 5, 2, mo) || s[7] != '-' || !Digits(s, 8, 2, d) || s[10] != ' ' ||
        !Digits(s, 11, 2, h) || s[13] != ':' || !Digits(s, 14, 2, mi) || s[16] != ':' ||
        !Digits(s, 17, 2, sec))
        return std::nullopt;
    unsigned ms = 0;
    if (s.size() > 19) {
        unsigned fraction = 0;
        const std::size_t n = s.size() - 20;
        if (s[19] != '.' || n == 0 || !Digits(s, 20, n, fraction))
            return std::nullopt;
        ms = fraction * (n == 1 ? 100 : n == 2 ? 10 : 1);
    }
    static constexpr unsigned MonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (mo < 1 || mo > 12 || d < 1 || d > MonthDays[mo - 1] || h > 23 || mi > 59 || sec > 59)
        return std::nullopt;
    const std::int64_t days = DaysFromCivil(y, mo, d);
    return ((days * 24 + h) * 60 + mi) * 60'000 + std::int64_t{sec} * 1000 + ms;
}

std::string Column(TDbDataSet& dataSet, int index) {
    TDbField field = dataSet.Fields(index);
    if (field.IsNull())
        return {};
    // The times are 23 characters; anything longer is not one of them.
    return std::string(field.AsString().substr(0, 32));
}

} // namespace

std::string LastBatchQuery(std::int32_t spid) {
    return "select convert(varchar(23), last_batch, 121), convert(varchar(23), getdate(), 121) "
           "from master.dbo.sysprocesses where spid = " +
           std::to_string(spid);
}

std::string TransactionAgeQuery(std::int32_t spid) {
    return "select convert(varchar(23), min(a.transaction_begin_time), 121), "
           "convert(varchar(23), getdate(), 121) from sys.dm_tran_session_transactions s "
           "join sys.dm_tran_active_transactions a on a.transaction_id = s.transaction_id "
           "where s.session_id = " +
           std::to_string(spid);
}

std::optional<std::int64_t> MillisecondsBetween(std::string_view from, std::string_view to) {
    const std::optional<std::int64_t> a = ParseTime(from), b = ParseTime(to);
    if (!a || !b)
        return std::nullopt;
    return *b - *a;
}

std::optional<std::int64_t> AgeBetween(std::string_view from, std::string_view now) {
    const std::optional<std::int64_t> age = MillisecondsBetween(from, now);
    if (!age || *age < -1000)
        return std::nullopt;
    return std::max<std::int64_t>(*age, 0);
}

TAgeRead TServerData::ReadAge(const std::string& query) {
    TDbDataSet dataSet;
    CommandKind = 4;
    return OleCall([&] {
        TAgeRead read;
        const TDbRecordsetPtr records = ADOConnection.Execute(query);
        if (!records || !records->IsOpen())
            return read;
        dataSet.SetRecordset(records);
        if (dataSet.Eof())
            return read;
        read.Found = true;
        const std::string time = Column(dataSet, 0);
        // The zero date stands for "never" (a session that has not sent a batch).
        if (time.rfind("1900-01-01", 0) == 0)
            return read;
        read.AgeMs = AgeBetween(time, Column(dataSet, 1));
        if (read.AgeMs)
            read.Time = time;
        return read;
    });
}
