// relink on tables built byte by byte: each rule that finds a text, the
// cases where the evidence is not enough, and what the files hold after.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "fixtures.h"
#include "relink.h"

namespace {

const int Records = 10;

// Record I's text: different for every record, one 64-byte block each.
std::string TextOf(int I) { return "text of record " + std::to_string(I); }

// A table of Records notes, their runs in record order; Blocks gets each
// record's block.
TTableSpec OrderedNotes(TMemoBuilder& Memo, std::vector<uint32_t>& Blocks, bool Binary = false)
{
    TTableSpec spec = Binary ? VisualFoxProTable({BinaryField("NOTES", 'M', 4)}) : TableOf({{"NOTES", 'M', 10}});
    for (int i = 0; i < Records; ++i) {
        Blocks.push_back(Memo.Add(TextOf(i)));
        spec.Records.push_back({Binary ? BinaryMemoRef(Blocks.back()) : MemoRef(Blocks.back())});
    }
    return spec;
}

std::string Describe(const TRelinkProposal& P)
{
    return std::to_string(P.RecNo) + "->" + std::to_string(P.Block) + " rule " +
           std::to_string(static_cast<int>(P.Rule)) + (P.CrossLinked ? " shared" : "");
}

std::string Expect(int RecNo, uint32_t Block, TRelinkRule Rule, bool Shared = false)
{
    TRelinkProposal p;
    p.RecNo = RecNo;
    p.Block = Block;
    p.Rule = Rule;
    p.CrossLinked = Shared;
    return Describe(p);
}

struct TRuleCase {
    const char* Name;
    bool Binary;
    // Damages the records of Spec (Blocks: each record's block); may add
    // runs to Memo. Returns the proposals expected.
    std::function<std::vector<std::string>(TTableSpec&, TMemoBuilder&, const std::vector<uint32_t>&)> Damage;
};

const TRuleCase RuleCases[] = {
    {"a garbled digit", false,
     [](TTableSpec& S, TMemoBuilder&, const std::vector<uint32_t>& B) {
         S.Records[3][0] = MemoRef(B[3]).substr(0, 9) + "Z";
         return std::vector<std::string>{Expect(3, B[3], TRelinkRule::OneCharacter)};
     }},
    {"a digit past the end", false,
     [](TTableSpec& S, TMemoBuilder&, const std::vector<uint32_t>& B) {
         S.Records[3][0] = MemoRef(B[3] + 9000);
         return std::vector<std::string>{Expect(3, B[3], TRelinkRule::OneCharacter)};
     }},
    {"unreadable characters as wildcards", false,
     [](TTableSpec& S, TMemoBuilder&, const std::vector<uint32_t>& B) {
         std::string ref = MemoRef(B[3]);
         ref[7] = '?';
         ref[9] = '\x01';
         S.Records[3][0] = ref;
         return std::vector<std::string>{Expect(3, B[3], TRelinkRule::Wildcards)};
     }},
    {"a reference a neighbouring field slipped over", false,
     [](TTableSpec& S, TMemoBuilder&, const std::vector<uint32_t>& B) {
         S.Records[3][0] = "ABCDEFGHIJ";
         return std::vector<std::string>{Expect(3, B[3], TRelinkRule::WriteOrder)};
     }},
    {"a flipped bit", true,
     [](TTableSpec& S, TMemoBuilder&, const std::vector<uint32_t>& B) {
         S.Records[3][0] = BinaryMemoRef(B[3] ^ (1u << 20));
         return std::vector<std::string>{Expect(3, B[3], TRelinkRule::OneBit)};
     }},
    {"a garbled digit leading to another record's text", false,
     [](TTableSpec& S, TMemoBuilder&, const std::vector<uint32_t>& B) {
         S.Records[3][0] = MemoRef(B[5]);
         return std::vector<std::string>{Expect(3, B[3], TRelinkRule::OneCharacter, true)};
     }},
    {"two orphans one character away", false,
     [](TTableSpec& S, TMemoBuilder& M, const std::vector<uint32_t>& B) {
         S.Records[3][0] = MemoRef(B[3]).substr(0, 9) + "Z";
         // An older version of some text, left where the digits fit too.
         M.Add("an older version");
         return std::vector<std::string>{};
     }},
    {"two damaged references claiming one orphan", false,
     [](TTableSpec& S, TMemoBuilder&, const std::vector<uint32_t>& B) {
         S.Records[3][0] = MemoRef(B[3]).substr(0, 8) + "Z" + MemoRef(B[3]).substr(9);
         S.Records[7][0] = "       #" + MemoRef(B[3]).substr(8);
         return std::vector<std::string>{};
     }},
    {"an older version of another record's text", false,
     [](TTableSpec& S, TMemoBuilder& M, const std::vector<uint32_t>& B) {
         // Record 5 edited: its text written anew at the end, the older
         // version left in its place, where record 3's digits also lead.
         S.Records[5][0] = MemoRef(M.Add(TextOf(5) + ", edited"));
         std::string ref = MemoRef(B[5]);
         ref[8] = 'Z';
         S.Records[3][0] = ref;
         return std::vector<std::string>{};
     }},
    {"an orphan that is an old copy of a live text", false,
     [](TTableSpec& S, TMemoBuilder& M, const std::vector<uint32_t>& B) {
         // What Rewrite leaves: a copy of record 5's text, which record 3's
         // garbled digits would lead to.
         std::string ref = MemoRef(M.Add(TextOf(5)));
         ref[8] = 'X';
         S.Records[3][0] = ref;
         (void)B;
         return std::vector<std::string>{};
     }},
};

class RelinkRules : public ::testing::TestWithParam<TRuleCase> {};

TEST_P(RelinkRules, ProposesWhatTheEvidenceShowsAndWritesOnlyThose)
{
    const TRuleCase& c = GetParam();
    TMemTable t;
    TMemoBuilder memo;
    std::vector<uint32_t> blocks;
    TTableSpec spec = OrderedNotes(memo, blocks, c.Binary);
    const std::vector<std::string> expected = c.Damage(spec, memo, blocks);
    t.Put(spec, memo);
    const std::string tableBefore = t.Table();
    const std::string memoBefore = t.Memo();

    const TRelinkResult planned = PlanRelink(t.Files, t.TablePath, {});
    std::vector<std::string> got;
    for (const TRelinkProposal& p : planned.Proposals)
        got.push_back(Describe(p));
    EXPECT_EQ(got, expected);
    EXPECT_EQ(t.Table(), tableBefore) << "planning writes nothing";

    const TRelinkResult done = RelinkMemoRefs(t.Files, t.TablePath, {}, {}, {});
    EXPECT_EQ(done.Written, expected.size());
    EXPECT_EQ(t.Memo(), memoBefore);
    TDBFLite table(t.Files);
    table.OpenTable(t.TablePath, true);
    const std::string after = t.Table();
    for (int r = 0; r < Records; ++r) {
        const bool relinked = std::any_of(done.Proposals.begin(), done.Proposals.end(),
                                          [r](const TRelinkProposal& P) { return P.RecNo == r; });
        if (relinked)
            EXPECT_EQ(table.ReadMemo(r, 0), TextOf(r)) << "record " << r;
        else
            EXPECT_EQ(table.ReadRaw(r, 0), spec.Records[static_cast<size_t>(r)][0].substr(0, c.Binary ? 4 : 10));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RelinkRules, ::testing::ValuesIn(RuleCases),
                         [](const ::testing::TestParamInfo<TRuleCase>& Info) {
                             std::string name;
                             for (const char* p = Info.param.Name; *p; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

// A table with one garbled reference, and the files it was put in.
struct TGarbled {
    TMemTable T;
    std::vector<uint32_t> Blocks;
    TGarbled()
    {
        TMemoBuilder memo;
        TTableSpec spec = OrderedNotes(memo, Blocks);
        spec.Records[3][0] = MemoRef(Blocks[3]).substr(0, 9) + "Z";
        T.Put(spec, memo);
    }
};

TEST(Relink, AnswerNoWritesNothing)
{
    TGarbled g;
    const std::string before = g.T.Table();
    size_t asked = 0;
    const TRelinkResult result =
        RelinkMemoRefs(g.T.Files, g.T.TablePath, {}, {}, [&](TDBFLite&, const TRelinkResult& Plan) {
            asked = Plan.Proposals.size();
            return false;
        });
    EXPECT_EQ(asked, 1u);
    EXPECT_TRUE(result.Cancelled);
    EXPECT_EQ(result.Written, 0u);
    EXPECT_EQ(g.T.Table(), before);
}

// The owner works on the table while the question stands: a proposal the
// files no longer bear out is dropped, the others written.
TEST(Relink, ChangesDuringTheQuestionDropWhatTheyTouch)
{
    struct TChange {
        const char* Name;
        std::function<void(TGarbled&)> Change;
        uint64_t Written;
    };
    const TChange changes[] = {
        {"nothing", [](TGarbled&) {}, 1},
        {"the reference mended by the owner",
         [](TGarbled& G) {
             std::string table = G.T.Table();
             TTableSpec shape = TableOf({{"NOTES", 'M', 10}});
             table.replace(HeaderSizeOf(shape) + 3u * RecordSizeOf(shape) + 1, 10, MemoRef(G.Blocks[3]));
             G.T.Files.SetFile(G.T.TablePath, table);
         },
         0},
        {"the orphan taken by another record",
         [](TGarbled& G) {
             std::string table = G.T.Table();
             TTableSpec shape = TableOf({{"NOTES", 'M', 10}});
             table.replace(HeaderSizeOf(shape) + 8u * RecordSizeOf(shape) + 1, 10, MemoRef(G.Blocks[3]));
             G.T.Files.SetFile(G.T.TablePath, table);
         },
         0},
        {"the orphan's run overwritten",
         [](TGarbled& G) {
             std::string memo = G.T.Memo();
             memo.replace(G.Blocks[3] * 64u, 8, TMemoBuilder::RunHeader(1000, 0));
             G.T.Files.SetFile(G.T.MemoPath, memo);
         },
         0},
    };
    for (const TChange& change : changes) {
        SCOPED_TRACE(change.Name);
        TGarbled g;
        const TRelinkResult result =
            RelinkMemoRefs(g.T.Files, g.T.TablePath, {}, {}, [&](TDBFLite&, const TRelinkResult&) {
                change.Change(g);
                return true;
            });
        EXPECT_EQ(result.Written, change.Written);
        EXPECT_EQ(result.Dropped, 1 - change.Written);
    }
}

TEST(Relink, RefusesTablesItCannotMap)
{
    struct TRefusal {
        const char* Name;
        std::function<void(TMemTable&)> Spoil;
    };
    const TRefusal refusals[] = {
        {"no memo file", [](TMemTable& T) { T.Files.Remove(T.MemoPath); }},
        {"block size 0",
         [](TMemTable& T) {
             std::string memo = T.Memo();
             memo[6] = memo[7] = '\0';
             T.Files.SetFile(T.MemoPath, memo);
         }},
        {"field widths that miss the record length",
         [](TMemTable& T) {
             std::string table = T.Table();
             table[10] = static_cast<char>(table[10] + 1);
             T.Files.SetFile(T.TablePath, table);
         }},
    };
    for (const TRefusal& refusal : refusals) {
        SCOPED_TRACE(refusal.Name);
        TGarbled g;
        refusal.Spoil(g.T);
        const std::string before = g.T.Table();
        EXPECT_THROW(RelinkMemoRefs(g.T.Files, g.T.TablePath, {}, {}, {}), ERefused);
        EXPECT_EQ(g.T.Table(), before);
    }
}

}  // namespace
