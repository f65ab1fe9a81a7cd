// The logs of a run that reads several (--log more than once, or --all):
// each with its own reader and stream, and the label its records carry.
#ifndef KQ_MANY_LOGS_H
#define KQ_MANY_LOGS_H

#include <memory>
#include <string>
#include <vector>

#include "KQShmLogReader.h"
#include "KQShmLogStream.h"

// How a record names its log: "NAME: " before a short line or after a
// syslog line's "<P>", and {"log":"NAME", opening a JSON object.
struct LogLabel {
    std::string strPlain;
    std::string strJson;
};

class ManyLogs {
public:
    // bLabelled: records name their log (--all, or several --log).
    explicit ManyLogs(bool bLabelled) : m_bLabelled(bLabelled) {}

    // Attaches /var/run/NAME with a reader of its own. False, after the
    // library's messages, when it cannot be read; the name still counts as
    // tried.
    bool open(const std::string& strName, bool bVerbose);
    bool tried(const std::string& strName) const;

    size_t count() const { return m_logs.size(); }
    const std::string& name(size_t i) const { return m_logs[i]->strName; }
    IKQLOGReader* reader(size_t i) { return m_logs[i]->reader.get(); }
    KQLogStream& stream(size_t i) { return *m_logs[i]->stream; }
    // Null when records name no log.
    const LogLabel* label(size_t i) const {
        return m_bLabelled ? &m_logs[i]->label : nullptr;
    }

private:
    struct Log {
        std::string strName;
        std::unique_ptr<IKQLOGReader> reader;
        std::unique_ptr<KQLogStream> stream;
        LogLabel label;
    };
    bool m_bLabelled;
    std::vector<std::unique_ptr<Log>> m_logs;
    std::vector<std::string> m_tried;
};

#endif
