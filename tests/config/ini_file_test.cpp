// Reading and writing the file format: Trim, orderings, Load, Save, Content, Create.
#include "ini_test_util.h"

namespace orvex::test {
namespace {

// ---------------------------------------------------------------- Trim

TEST(IniTrim, ModesAndTextsMadeOnlyOfTheSet) {
    std::string s = " \t a b \r\n";
    Trim(s, " \t\r\n", 0);
    EXPECT_EQ(s, "a b");

    s = "xxaxbxx";
    Trim(s, "x", 1);
    EXPECT_EQ(s, "axbxx");

    s = "xxaxbxx";
    Trim(s, "x", 2);
    EXPECT_EQ(s, "xxaxb");

    for (int mode : {0, 1, 2}) {
        std::string blank = " \t \r\n";
        Trim(blank, " \t\r\n", mode);
        EXPECT_EQ(blank, "") << "mode " << mode;
    }
    std::string none;
    Trim(none);
    EXPECT_EQ(none, "");
}

// ---------------------------------------------------------------- predicates and orderings

TEST(IniOrdering, PredicatesMatchExactBytes) {
    const Record r = key("Sect", "Key", "v", '#');
    EXPECT_TRUE(CIniFile::RecordSectionIs("Sect")(r));
    EXPECT_FALSE(CIniFile::RecordSectionIs("sect")(r));
    EXPECT_FALSE(CIniFile::RecordSectionIs("Sect ")(r));
    EXPECT_TRUE(CIniFile::RecordSectionKeyIs("Sect", "Key")(r));
    EXPECT_FALSE(CIniFile::RecordSectionKeyIs("Sect", "key")(r));
    EXPECT_FALSE(CIniFile::RecordSectionKeyIs("Key", "Sect")(r));
}

TEST(IniOrdering, BytesCompareUnsignedAndShorterFirst) {
    const Record high = key("\xE9t\xE9", "\xE9", "");
    const Record low = key("zeta", "z", "");
    const Record shortName = key("ab", "ab", "");
    const Record longName = key("abc", "abc", "");

    EXPECT_TRUE(CIniFile::AscendingSectionSort()(low, high));
    EXPECT_FALSE(CIniFile::AscendingSectionSort()(high, low));
    EXPECT_TRUE(CIniFile::AscendingSectionSort()(shortName, longName));
    EXPECT_TRUE(CIniFile::DescendingSectionSort()(high, low));
    EXPECT_TRUE(CIniFile::DescendingSectionSort()(longName, shortName));
    EXPECT_FALSE(CIniFile::AscendingSectionSort()(low, low));

    EXPECT_TRUE(CIniFile::AscendingRecordSort()(low, high));
    EXPECT_TRUE(CIniFile::AscendingRecordSort()(shortName, longName));
    EXPECT_TRUE(CIniFile::DescendingRecordSort()(high, low));
    EXPECT_FALSE(CIniFile::DescendingRecordSort()(low, low));
}

// ---------------------------------------------------------------- Load

using IniLoad = IniFileTest;

TEST_F(IniLoad, KeysSectionsAndValuesWithEqualsSigns) {
    Records r;
    ASSERT_TRUE(CIniFile::Load(write("a.ini", "[Sect]\na=1\nb=x=y\n"), r));
    EXPECT_EQ(r, (Records{header("Sect"), key("Sect", "a", "1"), key("Sect", "b", "x=y")}));
}

TEST_F(IniLoad, NothingIsTrimmedInsideNamesAndValues) {
    Records r;
    ASSERT_TRUE(CIniFile::Load(write("a.ini", "  [ My Sect ] trailing\n\t a = b \n"), r));
    EXPECT_EQ(r, (Records{header(" My Sect "), key(" My Sect ", "a ", " b")}));
}

TEST_F(IniLoad, KeysBeforeAnyHeaderBelongToTheEmptySection) {
    Records r;
    ASSERT_TRUE(CIniFile::Load(write("a.ini", "top=1\n[S]\nk=v\n"), r));
    EXPECT_EQ(r, (Records{key("", "top", "1"), header("S"), key("S", "k", "v")}));
}

TEST_F(IniLoad, BracketsInsideAValueKeepTheKeyLineAndTheSection) {
    Records r;
    ASSERT_TRUE(CIniFile::Load(write("a.ini", "[S]\nfw=img[2].txt\nafter=1\n"), r));
    EXPECT_EQ(r, (Records{header("S"), key("S", "fw", "img[2].txt"), key("S", "after", "1")}));
}

TEST_F(IniLoad, CommentLinesAttachToTheNextRecord) {
    Records r;
    ASSERT_TRUE(CIniFile::Load(
        write("a.ini", "  # plain note  \n; second\n[S]\n# see [manual]\n\nk=v\n# dangling\n"), r));
    EXPECT_EQ(r, (Records{header("S", ' ', "# plain note\n; second\n"),
                          key("S", "k", "v", ' ', "# see [manual]\n")}));
}

TEST_F(IniLoad, CommentedOutRecordsKeepTheirMarkAndSetTheSection) {
    Records r;
    ASSERT_TRUE(CIniFile::Load(write("a.ini", "[S]\n#old=1\n;  [Gone]\n# x = 2\nk=v\n"), r));
    EXPECT_EQ(r, (Records{header("S"), key("S", "old", "1", '#'), header("Gone", ';'),
                          key("Gone", "x ", " 2", '#'), key("Gone", "k", "v")}));
}

TEST_F(IniLoad, UnreadableLinesAreDroppedAndCommentsStayPending) {
    Records r;
    ASSERT_TRUE(CIniFile::Load(write("a.ini", "# note\njust words\n=orphan value\n[S]\n"), r));
    EXPECT_EQ(r, (Records{header("S", ' ', "# note\n")}));
}

TEST_F(IniLoad, LastLineWithoutLineFeedIsRead) {
    Records r;
    ASSERT_TRUE(CIniFile::Load(write("a.ini", "[S]\r\nk=v"), r));
    EXPECT_EQ(r, (Records{header("S"), key("S", "k", "v")}));
}

TEST_F(IniLoad, CrLfAndLfFilesReadAlike) {
    Records lf;
    Records crlf;
    ASSERT_TRUE(CIniFile::Load(write("lf.ini", "# c\n[S]\nk=v\n#o=1\n"), lf));
    ASSERT_TRUE(CIniFile::Load(write("crlf.ini", "# c\r\n[S]\r\nk=v\r\n#o=1\r\n"), crlf));
    EXPECT_EQ(lf, crlf);
    EXPECT_EQ(lf.size(), 3u);
}

TEST_F(IniLoad, OnlyCommentsAndBlankLinesGiveAnEmptyList) {
    Records r{header("stale")};
    ASSERT_TRUE(CIniFile::Load(write("a.ini", "# one\n\n  \r\n; two\n"), r));
    EXPECT_TRUE(r.empty());
}

TEST_F(IniLoad, MissingOrUnreadableFileFailsAndLeavesTheListAlone) {
    const Records before{header("keep")};
    Records r = before;
    EXPECT_FALSE(CIniFile::Load(path("missing.ini"), r));
    EXPECT_FALSE(CIniFile::Load("", r));
    EXPECT_FALSE(CIniFile::Load(dir_.string(), r)); // a directory
    EXPECT_EQ(r, before);
    EXPECT_FALSE(std::filesystem::exists(path("missing.ini")));
}

TEST_F(IniLoad, UnreadablePermissionsFail) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads any file";
    const std::string f = write("a.ini", "[S]\n");
    std::filesystem::permissions(f, std::filesystem::perms::none);
    Records r;
    EXPECT_FALSE(CIniFile::Load(f, r));
}

TEST_F(IniLoad, SectionLineWithoutBracketThrowsTheDocumentedError) {
    const Records before{header("keep")};
    Records r = before;
    const std::string f = write("a.ini", "[A]\nk=v\n\n[Sect\nx=1\n");
    try {
        CIniFile::Load(f, r);
        FAIL() << "no exception";
    } catch (const IniFormatError& e) {
        EXPECT_EQ(e.line(), 4u);
        EXPECT_NE(std::string(e.what()).find("a.ini"), std::string::npos);
    }
    EXPECT_EQ(r, before);
    // The commented-out form is read the same way, and the error is an out_of_range.
    EXPECT_THROW(CIniFile::Load(write("b.ini", "#[Sect\n"), r), std::out_of_range);
}

// ---------------------------------------------------------------- Save and Content

using IniSave = IniFileTest;

TEST_F(IniSave, WritesCrLfLinesLedByTheMarker) {
    const Records r{header("Sect", ' ', "# plain note\n; two\n"), key("Sect", "a", "1"),
                    key("Sect", "b", "x=y"), key("Sect", "old", "1", '#'), header("Off", ';')};
    const std::string f = path("out.ini");
    ASSERT_TRUE(CIniFile::Save(f, r));
    EXPECT_EQ(read(f),
              "# plain note\r\n; two\r\n [Sect]\r\n a=1\r\n b=x=y\r\n#old=1\r\n;[Off]\r\n");
}

TEST_F(IniSave, CommentLineBreaksBecomeSingleCrLf) {
    const std::string f = path("out.ini");
    ASSERT_TRUE(CIniFile::Save(f, {header("S", ' ', "# a\r\n# b\n")}));
    EXPECT_EQ(read(f), "# a\r\n# b\r\n [S]\r\n");
}

TEST_F(IniSave, EngineWrittenFileRoundTripsByteForByte) {
    const Records r{key("", "top", "0"),
                    header("appSettings", ' ', "# settings\n"),
                    key("appSettings", "FirstUp", "Yes"),
                    key("appSettings", "CodeTableValues", "0,30,0,31,"),
                    key("appSettings", "fw", "img[2].txt", ';', "; old image\n"),
                    header(" spaced ", '#'),
                    key(" spaced ", "k\xE9y", "v\xFF=1")};
    const std::string first = path("first.ini");
    ASSERT_TRUE(CIniFile::Save(first, r));

    Records back;
    ASSERT_TRUE(CIniFile::Load(first, back));
    EXPECT_EQ(back, r);

    const std::string second = path("second.ini");
    ASSERT_TRUE(CIniFile::Save(second, back));
    EXPECT_EQ(read(second), read(first));
}

TEST_F(IniSave, ForeignFileComesBackNormalised) {
    const std::string f =
        write("a.ini", "\n  [S]  \n\n\tk=v\t\nnoise\n#gone=1\n# trailing comment\n");
    Records r;
    ASSERT_TRUE(CIniFile::Load(f, r));
    ASSERT_TRUE(CIniFile::Save(f, r));
    EXPECT_EQ(read(f), " [S]\r\n k=v\r\n#gone=1\r\n");
}

TEST_F(IniSave, EmptyListWritesAnEmptyFile) {
    const std::string f = write("a.ini", "# only a comment\n\n");
    Records r;
    ASSERT_TRUE(CIniFile::Load(f, r));
    ASSERT_TRUE(CIniFile::Save(f, r));
    EXPECT_EQ(read(f), "");
}

TEST_F(IniSave, ContentUsesLineFeedsAndOmitsTheSpaceMarker) {
    EXPECT_EQ(CIniFile::Content(write("a.ini", "[S]\r\nk=v")), "[S]\nk=v\n");
    EXPECT_EQ(CIniFile::Content(write("b.ini", "# c\n[S]\n;k=v\n")), "# c\n[S]\n;k=v\n");
    EXPECT_EQ(CIniFile::Content(path("missing.ini")), "");
    EXPECT_THROW(CIniFile::Content(write("c.ini", "[S\n")), IniFormatError);
}

TEST_F(IniSave, CreateMakesOrEmptiesTheFile) {
    const std::string fresh = path("fresh.ini");
    ASSERT_TRUE(CIniFile::Create(fresh));
    ASSERT_TRUE(std::filesystem::exists(fresh));
    EXPECT_EQ(std::filesystem::file_size(fresh), 0u);

    const std::string old = write("old.ini", "[S]\nk=v\n");
    ASSERT_TRUE(CIniFile::Create(old));
    EXPECT_EQ(read(old), "");

    EXPECT_FALSE(CIniFile::Create(path("no/such/folder/x.ini")));
}

} // namespace
} // namespace orvex::test
