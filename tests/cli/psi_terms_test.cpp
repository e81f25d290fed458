// Every term the writer uses against the newest PSI-MS ontology installed
// with pymzml (Debian python3-pymzml).
#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "psi_terms.h"

namespace kestrune::cli {
namespace {

const std::filesystem::path kOboDir = "/usr/lib/python3/dist-packages/pymzml/obo";

std::vector<int> version_of(const std::string& file) {
    // psi-ms-4.1.33.obo.gz -> {4, 1, 33}
    std::vector<int> v;
    std::string digits = file.substr(7, file.find(".obo") - 7);
    std::size_t p = 0;
    while (p < digits.size()) {
        std::size_t end = digits.find('.', p);
        if (end == std::string::npos) end = digits.size();
        try {
            v.push_back(std::stoi(digits.substr(p, end - p)));
        } catch (...) {
            return {};
        }
        p = end + 1;
    }
    return v;
}

std::string read_gz(const std::filesystem::path& path) {
    std::string out;
    gzFile f = gzopen(path.c_str(), "rb");
    if (!f) return out;
    char buf[1 << 16];
    int n;
    while ((n = gzread(f, buf, sizeof buf)) > 0) out.append(buf, std::size_t(n));
    gzclose(f);
    return out;
}

TEST(PsiTerms, EveryAccessionCarriesItsExactNameInTheNewestOntology) {
    if (!std::filesystem::is_directory(kOboDir)) GTEST_SKIP() << "python3-pymzml is not installed";
    std::string newest;
    std::vector<int> newest_version;
    for (const auto& e : std::filesystem::directory_iterator(kOboDir)) {
        const std::string name = e.path().filename().string();
        if (!name.starts_with("psi-ms-") || !name.ends_with(".obo.gz")) continue;
        const auto v = version_of(name);
        if (!v.empty() && v > newest_version) {
            newest_version = v;
            newest = name;
        }
    }
    ASSERT_FALSE(newest.empty());
    EXPECT_EQ(newest, "psi-ms-" + std::string(term::kPsiMsVersion) + ".obo.gz");

    const std::string obo = read_gz(kOboDir / newest);
    ASSERT_FALSE(obo.empty());
    std::map<std::string, std::string> names;  // accession -> name
    for (std::size_t p = 0; (p = obo.find("\nid: ", p)) != std::string::npos;) {
        p += 5;
        const std::string id = obo.substr(p, obo.find('\n', p) - p);
        const std::size_t n = obo.find("\nname: ", p);
        if (n == std::string::npos) break;
        names[id] = obo.substr(n + 7, obo.find('\n', n + 7) - n - 7);
    }
    // Unit Ontology names appear in the unit relations: "has_units UO:0000031 ! minute".
    for (std::size_t p = 0; (p = obo.find(" UO:", p)) != std::string::npos;) {
        const std::size_t bang = obo.find(" ! ", p);
        const std::size_t eol = obo.find('\n', p);
        if (bang != std::string::npos && bang < eol)
            names.emplace(obo.substr(p + 1, bang - p - 1), obo.substr(bang + 3, eol - bang - 3));
        p = eol;
    }
    for (const auto& t : term::all_terms()) {
        const auto it = names.find(std::string(t.accession));
        ASSERT_NE(it, names.end()) << t.accession;
        EXPECT_EQ(it->second, t.name) << t.accession;
    }
}

}  // namespace
}  // namespace kestrune::cli
