// The logs of a machine: the files of a directory whose keys name
// segments holding a log, and how a log's name is shown.
#ifndef KQ_LOG_DIRECTORY_H
#define KQ_LOG_DIRECTORY_H

#include <string>
#include <vector>

// The names of the regular files directly in pDir (symbolic links are not
// followed) whose key names a segment with a sound log header, in byte
// order. False, with *pErr set, when the directory cannot be read.
bool findLogs(const char* pDir, std::vector<std::string>& names, int* pErr);

// A log name as a line shows it: control bytes spelt out as in tag names.
std::string shownName(const std::string& strName);

// A log name as a JSON string, quotes included.
std::string jsonName(const std::string& strName);

#endif
