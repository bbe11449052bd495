#include "devserver/Judge.h"
#include "devserver/PhraseList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

using devserver::Judge::judge;
using devserver::PhraseHit;
using devserver::PhraseList;

namespace {

const PhraseList& list() {
    static const PhraseList l = PhraseList::fromJson(R"([
        {"phrase": "Kill myself", "tier": 3, "category": "self_harm"},
        {"phrase": "can't do this anymore", "tier": 3},
        {"phrase": "hopeless", "tier": 2, "category": "hopelessness"},
        {"phrase": "so alone", "tier": 2, "category": "isolation"},
        {"phrase": "exhausted", "tier": 1, "category": "strain"}
    ])");
    return l;
}

std::vector<std::string> phrases(const std::vector<PhraseHit>& hits) {
    std::vector<std::string> out;
    for (const auto& h : hits) out.push_back(h.phrase);
    return out;
}

}  // namespace

TEST(PhraseList, MatchesWholeWordsWhateverTheCaseApostropheOrLineBreaks) {
    EXPECT_EQ(phrases(list().match("I want to KILL MYSELF.")), std::vector<std::string>{"kill myself"});
    // Typed with a typographic apostrophe, and wrapped across two recognised lines.
    EXPECT_EQ(phrases(list().match("honestly I can\u2019t do\n  this anymore")),
              std::vector<std::string>{"can't do this anymore"});
    EXPECT_EQ(phrases(list().match("feeling so\talone")), std::vector<std::string>{"so alone"});
    // Inside a longer word it is not the phrase.
    EXPECT_TRUE(list().match("hopelessly optimistic").empty());
    EXPECT_TRUE(list().match("unexhaustedness").empty());
    EXPECT_TRUE(list().match("").empty());
    // Non-ASCII punctuation around a phrase still bounds it.
    EXPECT_EQ(phrases(list().match("hopeless\u2014really")), std::vector<std::string>{"hopeless"});
}

TEST(PhraseList, OrdersHitsByTierThenPositionAndListsEachPhraseOnce) {
    const auto hits = list().match("exhausted, hopeless, exhausted again, and I could kill myself");
    ASSERT_EQ(hits.size(), 3u);
    EXPECT_EQ(hits[0].tier, 3);
    EXPECT_EQ(hits[0].phrase, "kill myself");
    EXPECT_EQ(hits[0].category, "self_harm");
    EXPECT_EQ(hits[1].phrase, "hopeless");
    EXPECT_EQ(hits[2].phrase, "exhausted");
    // A phrase whose first occurrence sits inside a word is still found later on.
    EXPECT_EQ(phrases(list().match("hopelessly hopeless")), std::vector<std::string>{"hopeless"});
    // A missing category falls back to one named after the tier.
    EXPECT_EQ(list().match("can't do this anymore").at(0).category, "crisis");
}

TEST(PhraseList, RefusesMalformedLists) {
    EXPECT_THROW(PhraseList::fromJson("{}"), std::runtime_error);
    EXPECT_THROW(PhraseList::fromJson("[1]"), std::runtime_error);
    EXPECT_THROW(PhraseList::fromJson(R"([{"phrase": "x", "tier": 4}])"), std::runtime_error);
    EXPECT_THROW(PhraseList::fromJson(R"([{"phrase": "x", "tier": "3"}])"), std::runtime_error);
    EXPECT_THROW(PhraseList::fromJson(R"([{"phrase": "   ", "tier": 1}])"), std::runtime_error);
    EXPECT_THROW(PhraseList::fromJson(R"([{"tier": 1}])"), std::runtime_error);
    EXPECT_THROW(PhraseList::fromJson(R"([{"phrase": "x", "tier": 1, "category": 2}])"), std::runtime_error);
    EXPECT_THROW(PhraseList::fromFile("/nonexistent/phrases.json"), std::runtime_error);
}

TEST(PhraseList, BuiltInCopyIsTheDataFile) {
    const auto file = PhraseList::fromFile(PhraseList::defaultPath());
    const auto embedded = PhraseList::fromJson(PhraseList::embeddedDefault);
    ASSERT_FALSE(file.entries().empty());
    ASSERT_EQ(file.entries().size(), embedded.entries().size());
    for (std::size_t i = 0; i < file.entries().size(); ++i) {
        EXPECT_EQ(file.entries()[i].phrase, embedded.entries()[i].phrase);
        EXPECT_EQ(file.entries()[i].tier, embedded.entries()[i].tier);
        EXPECT_EQ(file.entries()[i].category, embedded.entries()[i].category);
    }
    // The shipped list covers every tier.
    for (int tier = 1; tier <= 3; ++tier) {
        EXPECT_TRUE(std::any_of(file.entries().begin(), file.entries().end(),
                                [&](const PhraseList::Entry& e) { return e.tier == tier; }))
            << tier;
    }
}

TEST(Judge, SurfacesByTierAndNeedsRepeatedStrain) {
    const auto crisis = judge(list().match("hopeless, I can't do this anymore"), false);
    EXPECT_TRUE(crisis.tier3);
    EXPECT_EQ(crisis.surface, "urgent");
    EXPECT_EQ(crisis.levelName, "high");
    EXPECT_EQ(crisis.categories, (std::vector<std::string>{"crisis", "hopelessness"}));

    const auto distress = judge(list().match("so alone and hopeless"), false);
    EXPECT_FALSE(distress.tier3);
    EXPECT_EQ(distress.surface, "gentle");
    EXPECT_EQ(distress.levelName, "elevated");
    EXPECT_EQ(distress.categories, (std::vector<std::string>{"isolation", "hopelessness"}));

    const auto strainOnce = judge(list().match("exhausted"), false);
    EXPECT_EQ(strainOnce.surface, "none");
    EXPECT_EQ(strainOnce.levelName, "low");
    EXPECT_EQ(strainOnce.riskLevel, "low");
    const auto strainAgain = judge(list().match("exhausted"), true);
    EXPECT_EQ(strainAgain.surface, "gentle");
    EXPECT_EQ(strainAgain.levelName, "low");
    EXPECT_EQ(strainAgain.riskLevel, "elevated");

    const auto nothing = judge(list().match("lunch at noon"), true);
    EXPECT_EQ(nothing.surface, "none");
    EXPECT_EQ(nothing.levelName, "none");
    EXPECT_EQ(nothing.riskLevel, "none");
    EXPECT_TRUE(nothing.categories.empty());
}
