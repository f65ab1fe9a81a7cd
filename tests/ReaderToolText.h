// Fixed texts kqlogreader prints, for the tests that compare its output.
#ifndef KQ_READER_TOOL_TEXT_H
#define KQ_READER_TOOL_TEXT_H

#include <string>

// The usage text, printed right after the program's name.
const std::string kReaderUsageText =
    " -hnp:dsl:i:t:f:e:V\n"
    "         -h show this message\n"
    "         -n wait log\n"
    "         -p alderd|brisk|corvid|dunmore|egret|fenwick|garnet specify "
    "the Logpath\n"
    "         -d dump log\n"
    "         -l set log level\n"
    "         -i set log ID\n"
    "         -s show all log tags info\n"
    "         -t enable log tag, id accpted\n"
    "         -f disable log tag, id accpted\n"
    "         -e seek most recent logs\n"
    "         -V dump verbose info\n"
    "         -D dump log memory\n";

const std::string kInitFailed = "Init failed!! Please check your LogPath!\n";

inline std::string banner(const std::string& path) {
    return "LogPath [" + path + "]\n";
}

#endif
