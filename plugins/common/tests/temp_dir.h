// A temporary folder of a plug-in suite, removed with everything in it.
#ifndef BRINDLECAST_TEMP_DIR_H
#define BRINDLECAST_TEMP_DIR_H

#include <stdlib.h>

#include <cstddef>
#include <fstream>
#include <string>

namespace temp_dir {

struct TempDir {
    std::string path;  // empty when no folder could be made
    TempDir()
    {
        char tmpl[] = "/tmp/plugin-test-XXXXXX";
        const char* made = mkdtemp(tmpl);
        path = made ? made : "";
    }
    ~TempDir()
    {
        if (!path.empty())
            (void)!system(("rm -rf '" + path + "'").c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return path + "/" + name; }

    // The file `name` in the folder holding `size` bytes from `data`; its path.
    std::string put(const std::string& name, const char* data, size_t size) const
    {
        std::string p = file(name);
        std::ofstream out(p, std::ios::binary);
        out.write(data, static_cast<std::streamsize>(size));
        return p;
    }
    std::string write(const std::string& name, const std::string& bytes) const
    {
        return put(name, bytes.data(), bytes.size());
    }
};

}  // namespace temp_dir

#endif
