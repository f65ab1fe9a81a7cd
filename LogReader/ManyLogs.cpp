#include "ManyLogs.h"

#include <algorithm>

#include "LogDirectory.h"
#include "Options.h"

bool ManyLogs::open(const std::string& strName, bool bVerbose) {
    m_tried.push_back(strName);
    std::unique_ptr<Log> log(new Log);
    log->strName = strName;
    log->reader.reset(IKQLOGReader::create());
    std::string strPath = LOG_PATH_PREFIX + strName;
    if (!log->reader || !log->reader->init(strPath.c_str(), bVerbose))
        return false;
    log->stream.reset(new KQLogStream(log->reader.get()));
    log->label.strPlain = shownName(strName) + ": ";
    log->label.strJson = "{\"log\":" + jsonName(strName) + ",";
    m_logs.push_back(std::move(log));
    return true;
}

bool ManyLogs::tried(const std::string& strName) const {
    return std::find(m_tried.begin(), m_tried.end(), strName) != m_tried.end();
}
