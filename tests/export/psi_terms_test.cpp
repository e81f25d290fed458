// Every term the writer uses, and every entry of the generated instrument-model
// table, against the PSI-MS vocabulary the project writes to
// (../shared/vocab/psi-ms.obo from the project root).
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "mzml/instrument_models.h"
#include "mzml/psi_terms.h"

namespace kestrune {
using namespace mzml;

namespace {

const std::filesystem::path kObo = std::filesystem::path(KESTRUNE_VOCAB_DIR) / "psi-ms.obo";

struct Vocabulary {
    std::string data_version;
    std::map<std::string, std::string> names;          // accession -> name
    std::multimap<std::string, std::string> parents;   // accession -> is_a accession
};

Vocabulary read_vocabulary() {
    Vocabulary v;
    std::ifstream in(kObo);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string obo = ss.str();
    const auto line_after = [&](std::size_t p) { return obo.substr(p, obo.find('\n', p) - p); };
    if (const auto p = obo.find("data-version: "); p != std::string::npos) v.data_version = line_after(p + 14);
    for (std::size_t p = 0; (p = obo.find("\n[Term]\nid: ", p)) != std::string::npos;) {
        p += 12;
        const std::string id = line_after(p);
        const std::size_t end = obo.find("\n\n", p);
        const std::size_t n = obo.find("\nname: ", p);
        if (n < end) v.names[id] = line_after(n + 7);
        for (std::size_t q = p; (q = obo.find("\nis_a: ", q)) < end; q += 7)
            v.parents.emplace(id, line_after(q + 7).substr(0, line_after(q + 7).find(' ')));
    }
    // Unit Ontology names appear in the unit relations: "has_units UO:0000031 ! minute".
    for (std::size_t p = 0; (p = obo.find(" UO:", p)) != std::string::npos;) {
        const std::size_t bang = obo.find(" ! ", p);
        const std::size_t eol = obo.find('\n', p);
        if (bang != std::string::npos && bang < eol)
            v.names.emplace(obo.substr(p + 1, bang - p - 1), obo.substr(bang + 3, eol - bang - 3));
        p = eol;
    }
    return v;
}

bool has_parent(const Vocabulary& v, const std::string& id, const std::string& parent) {
    const auto [a, b] = v.parents.equal_range(id);
    for (auto it = a; it != b; ++it)
        if (it->second == parent) return true;
    return false;
}

TEST(PsiTerms, EveryAccessionAndModelCarriesItsExactNameInTheVocabulary) {
    if (!std::filesystem::exists(kObo)) GTEST_SKIP() << kObo << " is missing";
    const Vocabulary v = read_vocabulary();
    EXPECT_EQ(v.data_version, term::kPsiMsVersion);
    for (const auto& t : term::all_terms()) {
        const auto it = v.names.find(std::string(t.accession));
        ASSERT_NE(it, v.names.end()) << t.accession;
        EXPECT_EQ(it->second, t.name) << t.accession;
    }
    ASSERT_GT(instrument_models().size(), 50u);
    for (const auto& m : instrument_models()) {
        const auto it = v.names.find(std::string(m.accession));
        ASSERT_NE(it, v.names.end()) << m.accession;
        EXPECT_EQ(it->second, m.name) << m.accession;
        EXPECT_TRUE(has_parent(v, std::string(m.accession), "MS:1000126")) << m.accession;
    }
}

}  // namespace
}  // namespace kestrune
