#include "LogDirectory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "KQShmLogSummary.h"
#include "RecordFormat.h"

bool findLogs(const char* pDir, std::vector<std::string>& names, int* pErr) {
    names.clear();
    DIR* pDirStream = opendir(pDir);
    if (!pDirStream) {
        *pErr = errno;
        return false;
    }
    std::string strPath = pDir;
    const size_t nDirLen = strPath.size();
    while (struct dirent* pEntry = readdir(pDirStream)) {
        struct stat st;
        if (fstatat(dirfd(pDirStream), pEntry->d_name, &st,
                    AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode))
            continue;
        strPath.resize(nDirLen);
        strPath += pEntry->d_name;
        if (KQLogPathHoldsLog(strPath.c_str())) names.push_back(pEntry->d_name);
    }
    closedir(pDirStream);
    // std::string compares as unsigned bytes: byte order.
    std::sort(names.begin(), names.end());
    return true;
}

std::string shownName(const std::string& strName) {
    std::string shown(4 * strName.size(), '\0');
    shown.resize(escapeName(strName.data(), int(strName.size()), &shown[0]));
    return shown;
}

std::string jsonName(const std::string& strName) {
    std::string json(6 * strName.size() + 2, '\0');
    json.resize(
        formatJsonString(strName.data(), int(strName.size()), &json[0]));
    return json;
}
