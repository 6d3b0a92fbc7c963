// Lookups, editing operations and Sort, each on a real file.
#include "ini_test_util.h"

namespace orvex::test {
namespace {

const char* const kSample = "# top note\n"
                            "[appSettings]\n"
                            "FirstUp=Yes\n"
                            "#Old=1\n"
                            "Empty=\n"
                            "[Other]\n"
                            "; about k\n"
                            "k=v\n"
                            ";[Retired]\n"
                            "r=1\n";

// ---------------------------------------------------------------- lookups

using IniLookup = IniFileTest;

TEST_F(IniLookup, SectionsInFileOrderIncludingCommentedOut) {
    const std::string f = write("a.ini", kSample);
    EXPECT_EQ(CIniFile::GetSectionNames(f),
              (std::vector<std::string>{"appSettings", "Other", "Retired"}));
    EXPECT_EQ(CIniFile::GetSections(f), (Records{header("appSettings", ' ', "# top note\n"),
                                                 header("Other"), header("Retired", ';')}));
}

TEST_F(IniLookup, GetSectionReturnsKeysOnly) {
    const std::string f = write("a.ini", kSample);
    EXPECT_EQ(CIniFile::GetSection("appSettings", f),
              (Records{key("appSettings", "FirstUp", "Yes"), key("appSettings", "Old", "1", '#'),
                       key("appSettings", "Empty", "")}));
    EXPECT_EQ(CIniFile::GetSection("Other", f),
              (Records{key("Other", "k", "v", ' ', "; about k\n")}));
    EXPECT_TRUE(CIniFile::GetSection("Nope", f).empty());
}

TEST_F(IniLookup, ValuesAndExistenceIncludingCommentedOutRecords) {
    const std::string f = write("a.ini", kSample);
    EXPECT_EQ(CIniFile::GetValue("FirstUp", "appSettings", f), "Yes");
    EXPECT_EQ(CIniFile::GetValue("Old", "appSettings", f), "1");
    EXPECT_EQ(CIniFile::GetValue("r", "Retired", f), "1");
    EXPECT_EQ(CIniFile::GetValue("Missing", "appSettings", f), "");
    EXPECT_EQ(CIniFile::GetValue("Empty", "appSettings", f), "");

    EXPECT_TRUE(CIniFile::RecordExists("Empty", "appSettings", f));
    EXPECT_FALSE(CIniFile::RecordExists("Missing", "appSettings", f));
    EXPECT_TRUE(CIniFile::SectionExists("Retired", f));
    EXPECT_EQ(CIniFile::GetRecord("Old", "appSettings", f),
              (Records{key("appSettings", "Old", "1", '#')}));
    EXPECT_TRUE(CIniFile::GetRecord("Missing", "appSettings", f).empty());
}

TEST_F(IniLookup, NamesAreCaseSensitiveAndUntrimmed) {
    const std::string f = write("a.ini", kSample);
    EXPECT_FALSE(CIniFile::SectionExists("appsettings", f));
    EXPECT_FALSE(CIniFile::SectionExists("appSettings ", f));
    EXPECT_FALSE(CIniFile::RecordExists("firstup", "appSettings", f));
    EXPECT_EQ(CIniFile::GetValue("FirstUp", "AppSettings", f), "");
}

TEST_F(IniLookup, GetRecordReturnsTheFirstOfDuplicates) {
    const std::string f = write("a.ini", "[S]\nk=1\nk=2\n[S]\nk=3\n");
    EXPECT_EQ(CIniFile::GetValue("k", "S", f), "1");
    EXPECT_EQ(CIniFile::GetSection("S", f).size(), 3u);
}

TEST_F(IniLookup, SectionExistsForKeysWithoutHeader) {
    const std::string f = write("a.ini", "k=v\n");
    EXPECT_TRUE(CIniFile::SectionExists("", f));
    EXPECT_TRUE(CIniFile::GetSectionNames(f).empty());
    EXPECT_EQ(CIniFile::GetValue("k", "", f), "v");
}

TEST_F(IniLookup, MissingFileGivesEmptyResults) {
    const std::string f = path("missing.ini");
    EXPECT_TRUE(CIniFile::GetSectionNames(f).empty());
    EXPECT_TRUE(CIniFile::GetSections(f).empty());
    EXPECT_TRUE(CIniFile::GetSection("S", f).empty());
    EXPECT_FALSE(CIniFile::SectionExists("S", f));
    EXPECT_FALSE(CIniFile::RecordExists("k", "S", f));
    EXPECT_EQ(CIniFile::GetValue("k", "S", f), "");
    EXPECT_FALSE(std::filesystem::exists(f));
}

// ---------------------------------------------------------------- SetValue

using IniSetValue = IniFileTest;

TEST_F(IniSetValue, NewKeyGoesDirectlyAfterTheSectionHeader) {
    const std::string f = write("a.ini", "[S]\na=1\n[T]\nt=1\n");
    ASSERT_TRUE(CIniFile::SetValue("new", "2", "S", f));
    EXPECT_EQ(read(f), " [S]\r\n new=2\r\n a=1\r\n [T]\r\n t=1\r\n");
}

TEST_F(IniSetValue, KeysAddedOneAfterAnotherEndUpReversed) {
    const std::string f = path("cfg.ini");
    ASSERT_TRUE(CIniFile::Create(f));
    ASSERT_TRUE(CIniFile::AddSection("appSettings", f));
    for (const char* k : {"FirstUp", "KeypadLayout", "LedBrightness"})
        ASSERT_TRUE(CIniFile::SetValue(k, "", "appSettings", f));
    EXPECT_EQ(read(f), " [appSettings]\r\n LedBrightness=\r\n KeypadLayout=\r\n FirstUp=\r\n");
}

TEST_F(IniSetValue, NewSectionIsAppendedWithItsKey) {
    const std::string f = write("a.ini", "[S]\na=1\n");
    ASSERT_TRUE(CIniFile::SetValue("k", "v", "New", f));
    EXPECT_EQ(read(f), " [S]\r\n a=1\r\n [New]\r\n k=v\r\n");
}

TEST_F(IniSetValue, ExistingValueChangesInPlaceKeepingCommentsAndMark) {
    const std::string f = write("a.ini", "[S]\na=1\n# why\n;b=old\nc=3\n");
    ASSERT_TRUE(CIniFile::SetValue("b", "x=y", "S", f));
    EXPECT_EQ(read(f), " [S]\r\n a=1\r\n# why\r\n;b=x=y\r\n c=3\r\n");
}

TEST_F(IniSetValue, InsertsAfterTheFirstRecordOfTheSectionEvenWithoutHeader) {
    const std::string f = write("a.ini", "a=1\nb=2\n[S]\n");
    ASSERT_TRUE(CIniFile::SetValue("c", "3", "", f));
    EXPECT_EQ(read(f), " a=1\r\n c=3\r\n b=2\r\n [S]\r\n");
}

TEST_F(IniSetValue, MissingFileIsRefusedAndNotCreated) {
    const std::string f = path("missing.ini");
    EXPECT_FALSE(CIniFile::SetValue("k", "v", "S", f));
    EXPECT_FALSE(std::filesystem::exists(f));
    EXPECT_EQ(entriesInDir(), 0u);
}

TEST_F(IniSetValue, MalformedFileThrowsAndIsNotRewritten) {
    const std::string bytes = "[S]\nk=v\n[Broken\n";
    const std::string f = write("a.ini", bytes);
    const ino_t before = inode(f);
    EXPECT_THROW(CIniFile::SetValue("k", "w", "S", f), IniFormatError);
    EXPECT_THROW(CIniFile::DeleteSection("S", f), IniFormatError);
    EXPECT_THROW(CIniFile::Sort(f, false), IniFormatError);
    EXPECT_EQ(read(f), bytes);
    EXPECT_EQ(inode(f), before);
}

// ---------------------------------------------------------------- other edits

using IniEdit = IniFileTest;

TEST_F(IniEdit, AddSectionAppendsEvenADuplicate) {
    const std::string f = write("a.ini", "[S]\nk=v\n");
    ASSERT_TRUE(CIniFile::AddSection("S", f));
    EXPECT_EQ(read(f), " [S]\r\n k=v\r\n [S]\r\n");
    EXPECT_FALSE(CIniFile::AddSection("S", path("missing.ini")));
    EXPECT_FALSE(std::filesystem::exists(path("missing.ini")));
}

TEST_F(IniEdit, RenameSectionMovesHeaderAndKeysIncludingCommentedOut) {
    const std::string f = write("a.ini", "[A]\nk=1\n#j=2\n[B]\nk=3\n");
    ASSERT_TRUE(CIniFile::RenameSection("A", "C", f));
    EXPECT_EQ(read(f), " [C]\r\n k=1\r\n#j=2\r\n [B]\r\n k=3\r\n");
    EXPECT_EQ(CIniFile::GetValue("j", "C", f), "2");
}

TEST_F(IniEdit, CommentAndUnCommentTheFirstMatchingRecord) {
    const std::string f = write("a.ini", "[S]\nk=1\nk=2\n");
    ASSERT_TRUE(CIniFile::CommentRecord(CIniFile::SemiColon, "k", "S", f));
    EXPECT_EQ(read(f), " [S]\r\n;k=1\r\n k=2\r\n");
    EXPECT_EQ(CIniFile::GetValue("k", "S", f), "1");
    ASSERT_TRUE(CIniFile::UnCommentRecord("k", "S", f));
    EXPECT_EQ(read(f), " [S]\r\n k=1\r\n k=2\r\n");
}

TEST_F(IniEdit, CommentAndUnCommentAWholeSection) {
    const std::string f = write("a.ini", "[S]\na=1\n[T]\nt=1\n");
    ASSERT_TRUE(CIniFile::CommentSection(CIniFile::Pound, "S", f));
    EXPECT_EQ(read(f), "#[S]\r\n#a=1\r\n [T]\r\n t=1\r\n");
    // The commented-out header still opens the section on the next load.
    EXPECT_EQ(CIniFile::GetValue("a", "S", f), "1");
    ASSERT_TRUE(CIniFile::UnCommentSection("S", f));
    EXPECT_EQ(read(f), " [S]\r\n a=1\r\n [T]\r\n t=1\r\n");
}

TEST_F(IniEdit, DeleteRecordTakesItsCommentsAlong) {
    const std::string f = write("a.ini", "[S]\n# about a\na=1\nb=2\n");
    ASSERT_TRUE(CIniFile::DeleteRecord("a", "S", f));
    EXPECT_EQ(read(f), " [S]\r\n b=2\r\n");
}

TEST_F(IniEdit, DeleteSectionRemovesHeaderKeysAndComments) {
    const std::string f = write("a.ini", "# s\n[S]\n# a\na=1\n;[T]\nt=1\n[U]\nu=1\n");
    ASSERT_TRUE(CIniFile::DeleteSection("S", f));
    ASSERT_TRUE(CIniFile::DeleteSection("T", f));
    EXPECT_EQ(read(f), " [U]\r\n u=1\r\n");
}

TEST_F(IniEdit, SetSectionCommentsAppendsTheMissingLineFeed) {
    const std::string f = write("a.ini", "a=1\n[S]\nk=v\n");
    ASSERT_TRUE(CIniFile::SetSectionComments("# first\n; second", "S", f));
    EXPECT_EQ(read(f), " a=1\r\n# first\r\n; second\r\n [S]\r\n k=v\r\n");
    EXPECT_EQ(CIniFile::GetSections(f).front().Comments, "# first\n; second\n");
    ASSERT_TRUE(CIniFile::SetSectionComments("", "S", f));
    EXPECT_EQ(read(f), " a=1\r\n [S]\r\n k=v\r\n");
}

TEST_F(IniEdit, SetRecordCommentsOnTheFirstMatch) {
    const std::string f = write("a.ini", "[S]\nk=v\n");
    ASSERT_TRUE(CIniFile::SetRecordComments("# note\n", "k", "S", f));
    EXPECT_EQ(read(f), " [S]\r\n# note\r\n k=v\r\n");
}

TEST_F(IniEdit, OperationsWithoutATargetLeaveTheFileUntouched) {
    const std::string bytes = "[S]\nk=v\n";
    const std::string f = write("a.ini", bytes);
    const ino_t before = inode(f);
    EXPECT_FALSE(CIniFile::CommentRecord(CIniFile::Pound, "x", "S", f));
    EXPECT_FALSE(CIniFile::UnCommentRecord("k", "s", f));
    EXPECT_FALSE(CIniFile::DeleteRecord("x", "S", f));
    EXPECT_FALSE(CIniFile::SetSectionComments("# c", "T", f));
    EXPECT_FALSE(CIniFile::SetSectionComments("# c", "k", f)); // a key is no header
    EXPECT_FALSE(CIniFile::SetRecordComments("# c", "x", "S", f));
    EXPECT_EQ(read(f), bytes);
    EXPECT_EQ(inode(f), before); // a save would have replaced the file
}

TEST_F(IniEdit, SectionWideOperationsRewriteEvenWithoutMatch) {
    const std::string f = write("a.ini", "[S]\nk=v\n");
    for (auto op :
         {+[](const std::string& p) { return CIniFile::RenameSection("X", "Y", p); },
          +[](const std::string& p) { return CIniFile::CommentSection(CIniFile::Pound, "X", p); },
          +[](const std::string& p) { return CIniFile::UnCommentSection("X", p); },
          +[](const std::string& p) { return CIniFile::DeleteSection("X", p); }}) {
        const ino_t before = inode(f);
        ASSERT_TRUE(op(f));
        EXPECT_NE(inode(f), before);
        EXPECT_EQ(read(f), " [S]\r\n k=v\r\n");
    }
}

TEST_F(IniEdit, EditsRefuseAMissingFileAndCreateNothing) {
    const std::string f = path("missing.ini");
    EXPECT_FALSE(CIniFile::RenameSection("A", "B", f));
    EXPECT_FALSE(CIniFile::CommentSection(CIniFile::Pound, "A", f));
    EXPECT_FALSE(CIniFile::UnCommentSection("A", f));
    EXPECT_FALSE(CIniFile::DeleteSection("A", f));
    EXPECT_FALSE(CIniFile::Sort(f, false));
    EXPECT_EQ(entriesInDir(), 0u);
}

// ---------------------------------------------------------------- Sort

using IniSort = IniFileTest;

TEST_F(IniSort, AscendingSortsSectionsAndTheirKeys) {
    const std::string f = write("a.ini", "[b]\nz=1\n# about a\na=2\n[B]\nk=1\n[a]\nm=1\nc=2\n");
    ASSERT_TRUE(CIniFile::Sort(f, false));
    EXPECT_EQ(read(f),
              " [B]\r\n k=1\r\n [a]\r\n c=2\r\n m=1\r\n [b]\r\n# about a\r\n a=2\r\n z=1\r\n");
}

TEST_F(IniSort, DescendingReversesBoth) {
    const std::string f = write("a.ini", "[a]\nx=1\ny=2\n[b]\np=1\nq=2\n");
    ASSERT_TRUE(CIniFile::Sort(f, true));
    EXPECT_EQ(read(f), " [b]\r\n q=2\r\n p=1\r\n [a]\r\n y=2\r\n x=1\r\n");
}

TEST_F(IniSort, KeysWithoutHeaderStayOnTopAndDuplicateHeadersKeepAllKeysOnce) {
    const std::string f = write("a.ini", "z=0\na=0\n[S]\nk=1\n[A]\n[S]\nj=2\n");
    ASSERT_TRUE(CIniFile::Sort(f, false));
    EXPECT_EQ(read(f), " a=0\r\n z=0\r\n [A]\r\n [S]\r\n [S]\r\n j=2\r\n k=1\r\n");
    EXPECT_EQ(CIniFile::GetValue("z", "", f), "0");
}

TEST_F(IniSort, FileWithoutHeadersIsRefusedAndNotWritten) {
    const std::string f = write("a.ini", "b=1\na=2\n");
    const ino_t before = inode(f);
    EXPECT_FALSE(CIniFile::Sort(f, false));
    EXPECT_EQ(read(f), "b=1\na=2\n");
    EXPECT_EQ(inode(f), before);
}

} // namespace
} // namespace orvex::test
