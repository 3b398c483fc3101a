// The INI engine, the text table and its two language files, and the
// formatter that keeps language texts from acting as format strings.
#include <gtest/gtest.h>

#include <QSet>

#include "IniFiles.h"
#include "ResStrs.h"
#include "param_name.h"
#include "test_env.h"

using namespace pruvell;
using traytest::read_text;
using traytest::user_dirs;
using traytest::write_text;

namespace {

QString q(const char* s) {
    return QString::fromUtf8(s);
}

class Texts : public ::testing::Test {
  protected:
    void SetUp() override { ResetTexts(); }
    void TearDown() override { ResetTexts(); }
    std::string file(const char* name, const QByteArray& bytes) {
        const std::string path = dirs_.root() + "/" + name;
        write_text(path, bytes.toStdString());
        return path;
    }
    user_dirs dirs_;
};

} // namespace

// ---- INI engine ----

TEST_F(Texts, the_ini_engine_reads_utf16_and_8_bit_files_alike) {
    const QString body =
        q("; comment\r\n[Sec]\r\n  KeyOne =  value one  \r\nquoted=\"  padded \"\r\n"
          "viet=Tiếng Việt\r\nkeyone=second\r\n[Other]\r\nx=1\r\n");
    for (TIniEncoding e :
         {TIniEncoding::utf16le_bom, TIniEncoding::utf8_bom, TIniEncoding::eight_bit}) {
        const std::string path = file("a.ini", TIniFile::Encode(body, e));
        const TIniFile ini(QString::fromStdString(path));
        ASSERT_EQ(ini.loadStatus(), TIniLoad::ok);
        EXPECT_EQ(ini.ReadString(q("sec"), q("KEYONE"), q("d")), q("value one"));
        EXPECT_EQ(ini.ReadString(q("Sec"), q("quoted"), q("d")), q("  padded "));
        EXPECT_EQ(ini.ReadString(q("Sec"), q("viet"), q("d")), q("Tiếng Việt"));
        EXPECT_EQ(ini.ReadString(q("Sec"), q("x"), q("d")), q("d")) << "keys stay in their section";
        EXPECT_EQ(ini.ReadSections(), QStringList({q("Sec"), q("Other")}));
    }
    // 8-bit text that is not UTF-8 is read as Latin-1.
    const TIniFile latin(QString::fromStdString(file("l.ini", QByteArray("[s]\nk=caf\xE9\n"))));
    EXPECT_EQ(latin.ReadString(q("s"), q("k"), q("")), q("café"));
}

TEST_F(Texts, writing_replaces_a_value_in_place_and_keeps_the_rest_and_the_encoding) {
    const QString body = q("; keep me\r\n[A]\r\nfirst=1\r\nsecond=2\r\n\r\n[B]\r\nz=9\r\n");
    const std::string path = file("w.ini", TIniFile::Encode(body, TIniEncoding::utf16le_bom));
    TIniFile ini(QString::fromStdString(path));
    ini.WriteString(q("a"), q("FIRST"), q("one"));
    ini.WriteInteger(q("A"), q("third"), 3);
    ini.WriteString(q("C"), q("new"), q(" spaced "));
    ASSERT_TRUE(ini.UpdateFile());
    const QString expected = q("; keep me\r\n[A]\r\nFIRST=one\r\nsecond=2\r\nthird=3\r\n\r\n[B]\r\n"
                               "z=9\r\n[C]\r\nnew=\" spaced \"\r\n");
    EXPECT_EQ(read_text(path), TIniFile::Encode(expected, TIniEncoding::utf16le_bom).toStdString());
    EXPECT_EQ(TIniFile(QString::fromStdString(path)).ReadString(q("C"), q("new"), q("")),
              q(" spaced "));
}

TEST_F(Texts, files_that_are_not_text_are_reported_not_read) {
    struct {
        const char* name;
        QByteArray bytes;
        TIniLoad status;
    } cases[] = {
        {"odd.ini", QByteArray("\xFF\xFE[\0a", 5), TIniLoad::corrupt},
        {"nul.ini", QByteArray("[a]\nk=v\0\x01\x02", 10), TIniLoad::corrupt},
        {"lone.ini", QByteArray("\xFF\xFE\x00\xD8", 4), TIniLoad::corrupt}, // half a surrogate pair
        {"empty.ini", QByteArray(), TIniLoad::ok},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TIniFile(QString::fromStdString(file(c.name, c.bytes))).loadStatus(), c.status)
            << c.name;
    EXPECT_EQ(TIniFile(QString::fromStdString(dirs_.root() + "/none.ini")).loadStatus(),
              TIniLoad::missing);
    EXPECT_EQ(TIniFile(QString::fromStdString(dirs_.root())).loadStatus(), TIniLoad::unreadable);
}

// ---- language files ----

TEST_F(Texts, both_language_files_hold_every_key_as_utf16_with_a_mark_in_section_caption) {
    for (TLanguage language : {TLanguage::english, TLanguage::vietnamese}) {
        const QByteArray bytes = LanguageFileBytes(language);
        ASSERT_GE(bytes.size(), 2);
        EXPECT_EQ(static_cast<uint8_t>(bytes[0]), 0xFF);
        EXPECT_EQ(static_cast<uint8_t>(bytes[1]), 0xFE);
        const std::string path = file("lang.lng", bytes);
        const TIniFile ini(QString::fromStdString(path));
        ASSERT_EQ(ini.loadStatus(), TIniLoad::ok);
        EXPECT_EQ(ini.ReadSections(), QStringList{q("Caption")});
        QSet<QString> seen;
        for (const TTextRow& r : text_rows) {
            EXPECT_TRUE(ini.KeyExists(q("Caption"), q(r.key))) << r.key;
            seen.insert(q(r.key).toLower());
        }
        EXPECT_EQ(seen.size(), text_key_count);
    }
}

TEST_F(Texts, loading_a_language_file_switches_every_text) {
    const std::string en = file("EN_1033.lng", LanguageFileBytes(TLanguage::english));
    const std::string vn = file("VN_1066.lng", LanguageFileBytes(TLanguage::vietnamese));
    ASSERT_EQ(LoadLanguageFile(QString::fromStdString(en)), TLanguageLoad::loaded);
    for (const TTextRow& r : text_rows)
        ASSERT_EQ(Text(q(r.key)), q(r.english)) << r.key;
    ASSERT_EQ(LoadLanguageFile(QString::fromStdString(vn)), TLanguageLoad::loaded);
    int differ = 0;
    for (const TTextRow& r : text_rows) {
        ASSERT_EQ(Text(q(r.key)), q(r.vietnamese)) << r.key;
        differ += QString::fromUtf8(r.english) != QString::fromUtf8(r.vietnamese);
    }
    EXPECT_GT(differ, 180) << "the Vietnamese file is a translation, not a copy";
    // The values the Part fixes, and ones that need care.
    EXPECT_EQ(Text(u"K_ErrorCODE_Str"), q(" Mã lỗi"));
    ASSERT_EQ(LoadLanguageFile(QString::fromStdString(en)), TLanguageLoad::loaded);
    EXPECT_EQ(Text(u"K_ErrorCODE_Str"), q(" ErrorCode")) << "the leading blank survives";
    EXPECT_EQ(Text(u"PKCS11Name"), q("Tessvik.dll"));
    EXPECT_EQ(Text(u"PROVIDER_NAME"), q("Tavrel CSP V1.0"));
    EXPECT_EQ(Text(u"P_Caption"), q("Tavrel Token Manager v1"));
    EXPECT_EQ(Text(u"k_oldcheck"), q("Wrong Old User PIN, You can try %d times."));
}

TEST_F(Texts, a_missing_file_keeps_the_defaults_and_missing_keys_blank_their_text) {
    EXPECT_EQ(LoadLanguageFile(QString::fromStdString(dirs_.root() + "/none.lng")),
              TLanguageLoad::missing);
    EXPECT_EQ(Text(u"PKCS11Name"), q("q9pro_pkcs11.dll"));
    EXPECT_EQ(Text(u"PROVIDER_NAME"), q("Quessar vKessa Q9Pro CSP V1.1"));
    EXPECT_EQ(Text(u"CallMainAppName"), q("Q9ProPKIMgr.exe"));
    EXPECT_EQ(Text(u"FontSize"), q("9"));
    EXPECT_EQ(Text(u"P_MSGTitle"), q("提示"));

    // Only the section line: a single space for the first list and
    // "P_Caption", nothing for the second list.
    const std::string bare =
        file("bare.lng", TIniFile::Encode(q("[Caption]\r\n"), TIniEncoding::utf16le_bom));
    ASSERT_EQ(LoadLanguageFile(QString::fromStdString(bare)), TLanguageLoad::loaded);
    int spaces = 0;
    for (const TTextRow& r : text_rows) {
        EXPECT_EQ(Text(q(r.key)), r.space_when_missing ? q(" ") : QString()) << r.key;
        spaces += r.space_when_missing;
    }
    EXPECT_EQ(spaces, 125);
    EXPECT_EQ(Text(u"PKCS11Name"), q(" "));
    EXPECT_EQ(Text(u"P_Caption"), q(" "));
    EXPECT_EQ(Text(u"MonName"), QString());

    // A key written in another case is found.
    const std::string other =
        file("case.lng",
             TIniFile::Encode(q("[caption]\r\nK_Spec_mode2 = Sig\r\n"), TIniEncoding::utf16le_bom));
    ASSERT_EQ(LoadLanguageFile(QString::fromStdString(other)), TLanguageLoad::loaded);
    EXPECT_EQ(Text(u"K_spec_mode2"), q("Sig"));
    // A file that is not text leaves the table as it is.
    const std::string junk = file("junk.lng", QByteArray("\xFF\xFE\x41", 3));
    EXPECT_EQ(LoadLanguageFile(QString::fromStdString(junk)), TLanguageLoad::unreadable);
    EXPECT_EQ(Text(u"K_spec_mode2"), q("Sig"));
}

// ---- texts are never format strings ----

namespace {
struct format_case {
    const char* pattern;
    const char* expected;
};
class Format : public ::testing::TestWithParam<format_case> {};
} // namespace

TEST_P(Format, only_the_expected_places_are_filled) {
    EXPECT_EQ(FormatText(q(GetParam().pattern), {3, q("abc")}), q(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Format,
    ::testing::Values(format_case{"try %d times (%s)", "try 3 times (abc)"},
                      format_case{"%s then %d", "%s then 3"}, // wrong kind: left as text
                      format_case{"%d%d%d", "3%d%d"},         // more places than values
                      format_case{"%n%x%p%08d%.99999s%", "%n%x%p%08d%.99999s%"},
                      format_case{"100%% sure, %d", "100% sure, 3"},
                      format_case{"no places", "no places"}, format_case{"", ""}),
    [](const ::testing::TestParamInfo<format_case>& info) {
        return test_support::param_name(info.param.pattern);
    });

TEST(FormatTexts, a_hostile_language_text_is_shown_not_interpreted) {
    // What a tampered language file might hold in place of "K_OldCheck".
    const QString hostile = q("%s%s%s%s%n%n %d");
    EXPECT_EQ(FormatText(hostile, {2}), q("%s%s%s%s%n%n 2"));
}
