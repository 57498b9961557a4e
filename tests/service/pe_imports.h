// The functions an executable imports by name, read from its file's import directory.
#pragma once

#include <string>
#include <vector>

struct ImportedFunction {
    std::string library;  // as the file names it ("USER32.dll")
    std::string name;     // "#n" for one imported by ordinal
};

struct ImportTable {
    std::string fault;  // why the file could not be read as a 64-bit executable; empty when it was
    bool delayLoads = false;  // it has a delay-load directory, which this reader does not follow
    std::vector<ImportedFunction> functions;
};

ImportTable ReadImportTable(const std::string& exePath);
