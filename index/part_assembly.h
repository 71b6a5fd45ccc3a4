#pragma once

#include <string>

class CPackageIndex;

// True when dir\corvane.exe exists and is at least as long as all parts but the last; an
// existing shorter file is deleted.
bool ValidateInstallerFile(const std::string& dir, const CPackageIndex& index);

// The file's size as a signed 32-bit number from a find-first query; -1 when nothing is found.
int GetFileLength(std::string path);
