// Token data objects through the built module (dlopen + C_GetFunctionList) on
// a simulated token behind pcscd: values changed to other lengths and read
// back by another process, changes that the card refuses half-way (injected
// faults, a full card), damaged files on the card, the signature time log and
// the vendor functions that go straight to the device.
//
// Other processes are this test binary run again with P11D_ROLE set: the
// helper test "DataObjectHelper.role" then plays that role and exits.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <openssl/rand.h>

#include "cardsim_harness.h"
#include "module_loader.h"
#include "p11_objects.h"
#include "sm4_oracle.h"
#include "test_hex.h"
#include "test_process.h"
#include "token_session.h"

using cardsim::test::simulated_token;

namespace {

using test_support::env;
using test_support::read_lines;
using test_support::so_pin;
using test_support::user_pin;
constexpr CK_RV SAR_FAIL = 0x0A000001;

// Instruction bytes of the card's file commands.
constexpr uint8_t ins_create_file = 0x30;
constexpr uint8_t ins_delete_file = 0x32;
constexpr uint8_t ins_write_file = 0x3A;

using bytes = std::vector<uint8_t>;

cardsim::card_options token_options() {
    return test_support::module_token_options();
}

CK_UTF8CHAR_PTR text(const char* s) {
    return test_support::utf8(s);
}

bytes random_bytes(size_t n) {
    bytes b(n);
    if (n != 0) RAND_bytes(b.data(), static_cast<int>(n));
    return b;
}

std::string hex(const bytes& b) {
    return test_support::to_hex(b);
}
bytes unhex(const std::string& s) {
    return test_support::from_hex(s);
}

// The test's side of the module: a read-write session on slot 0.
class client {
  public:
    bool start(bool init_pin, bool login) {
        if (module().f == nullptr) return false;
        f = module().f;
        m = module().m;
        const auto ok = [](CK_RV rv, const char* step) {
            if (rv != CKR_OK) ADD_FAILURE() << step << ": 0x" << std::hex << rv;
            return rv == CKR_OK;
        };
        if (!ok(f->C_Initialize(nullptr), "C_Initialize")) return false;
        CK_ULONG n = 0;
        if (!ok(f->C_GetSlotList(CK_TRUE, nullptr, &n), "C_GetSlotList") || n == 0) return false;
        if (init_pin) {
            CK_SESSION_HANDLE so = 0;
            if (!ok(f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &so),
                    "SO session"))
                return false;
            if (!ok(f->C_Login(so, CKU_SO, text(so_pin), strlen(so_pin)), "SO login")) return false;
            if (!ok(f->C_InitPIN(so, text(user_pin), strlen(user_pin)), "C_InitPIN")) return false;
            f->C_CloseSession(so);
        }
        if (!ok(f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s),
                "session"))
            return false;
        return !login ||
               ok(f->C_Login(s, CKU_USER, text(user_pin), strlen(user_pin)), "user login");
    }
    // Closing the sessions logs the token out, so that the next test's card
    // does not find this one's login.
    void stop() {
        if (f == nullptr) return;
        f->C_CloseAllSessions(0);
        f->C_Finalize(nullptr);
    }

    CK_RV create(const std::string& label, const bytes& value, bool is_private = false,
                 CK_OBJECT_HANDLE* h = nullptr) {
        CK_OBJECT_CLASS cls = CKO_DATA;
        CK_BBOOL yes = CK_TRUE;
        CK_BBOOL priv = is_private ? CK_TRUE : CK_FALSE;
        CK_ATTRIBUTE t[] = {
            {CKA_CLASS, &cls, sizeof cls},
            {CKA_TOKEN, &yes, 1},
            {CKA_PRIVATE, &priv, 1},
            {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
            {CKA_VALUE, const_cast<uint8_t*>(value.data()), value.size()},
        };
        CK_OBJECT_HANDLE dummy = 0;
        return f->C_CreateObject(s, t, std::size(t), h != nullptr ? h : &dummy);
    }

    // Data objects, all or those with this label, in search order.
    std::vector<CK_OBJECT_HANDLE> find(const std::string* label = nullptr) {
        CK_OBJECT_CLASS cls = CKO_DATA;
        std::vector<CK_ATTRIBUTE> t = {{CKA_CLASS, &cls, sizeof cls}};
        if (label != nullptr)
            t.push_back({CKA_LABEL, const_cast<char*>(label->data()), label->size()});
        return test_support::find_objects(f, s, std::move(t));
    }
    CK_OBJECT_HANDLE only(const std::string& label) {
        const auto found = find(&label);
        return found.size() == 1 ? found[0] : 0;
    }

    CK_RV get(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type, bytes& out) {
        return test_support::attribute_value(f, s, h, type, out);
    }
    std::optional<bytes> attribute(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type) {
        return test_support::attribute_value(f, s, h, type);
    }
    // A token RSA key that signs (its public half is not needed).
    CK_RV signing_key(CK_OBJECT_HANDLE& priv) {
        CK_BBOOL yes = CK_TRUE;
        CK_ULONG bits = 1024;
        CK_ATTRIBUTE pt[] = {{CKA_TOKEN, &yes, 1}, {CKA_MODULUS_BITS, &bits, sizeof bits}};
        CK_ATTRIBUTE st[] = {{CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}, {CKA_SIGN, &yes, 1}};
        CK_MECHANISM gen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        CK_OBJECT_HANDLE pub = 0;
        return f->C_GenerateKeyPair(s, &gen, pt, 2, st, 3, &pub, &priv);
    }
    // One signature through the function list's C_Sign, which keeps the log.
    CK_RV sign(CK_OBJECT_HANDLE priv) {
        CK_MECHANISM m{CKM_SHA1_RSA_PKCS, nullptr, 0};
        uint8_t data[] = "logged";
        uint8_t sig[256];
        CK_ULONG sig_len = sizeof sig;
        if (CK_RV rv = f->C_SignInit(s, &m, priv); rv != CKR_OK) return rv;
        return f->C_Sign(s, data, sizeof data, sig, &sig_len);
    }
    CK_RV set_value(CK_OBJECT_HANDLE h, const bytes& value) {
        CK_ATTRIBUTE a{CKA_VALUE, const_cast<uint8_t*>(value.data()), value.size()};
        return f->C_SetAttributeValue(s, h, &a, 1);
    }

    // "label hex(value)" per data object, in search order.
    std::vector<std::string> listing() {
        std::vector<std::string> lines;
        for (CK_OBJECT_HANDLE h : find()) {
            const auto label = attribute(h, CKA_LABEL);
            const auto value = attribute(h, CKA_VALUE);
            std::string l =
                label ? std::string(label->begin(), std::find(label->begin(), label->end(), 0))
                      : "?";
            lines.push_back(l + " " + (value ? hex(*value) : "unreadable"));
        }
        return lines;
    }

    CK_FUNCTION_LIST* f = nullptr;
    M_FUNCTION_LIST* m = nullptr;
    CK_SESSION_HANDLE s = 0;
};

// Runs this binary again as another process in `role`; its exit status.
int run_role(const std::string& role, std::map<std::string, std::string> vars = {}) {
    vars["P11D_ROLE"] = role;
    return test_support::run_self("DataObjectHelper.role", vars);
}

class DataObjectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("p11d-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // What another process, logged in as the user, finds: "label hex(value)" lines.
    std::vector<std::string> other_process_listing() {
        const std::string out = (dir_ / "listing").string();
        std::filesystem::remove(out);
        EXPECT_EQ(run_role("list", {{"P11D_OUT", out}}), 0);
        return read_lines(out);
    }

    std::filesystem::path dir_;
};

std::string line(const char* label, const bytes& value) {
    return std::string(label) + " " + hex(value);
}

} // namespace

// ---- the other process ----

// Roles (P11D_ROLE): "list" logs the user in and writes client::listing() to
// P11D_OUT; "set" sets the value of the one object labelled P11D_LABEL to
// P11D_VALUE (hex).
TEST(DataObjectHelper, role) {
    const std::string role = env("P11D_ROLE");
    if (role.empty()) GTEST_SKIP() << "run by the other tests";
    client c;
    ASSERT_TRUE(c.start(false, true));
    if (role == "list") {
        FILE* out = fopen(env("P11D_OUT").c_str(), "w");
        ASSERT_NE(out, nullptr);
        for (const std::string& l : c.listing())
            fprintf(out, "%s\n", l.c_str());
        fclose(out);
    } else if (role == "set") {
        const CK_OBJECT_HANDLE h = c.only(env("P11D_LABEL"));
        ASSERT_NE(h, 0u);
        ASSERT_EQ(c.set_value(h, unhex(env("P11D_VALUE"))), CKR_OK);
    }
    c.stop();
}

TEST_F(DataObjectTest, values_of_other_lengths_are_stored_whole_and_read_back_by_another_process) {
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    client c;
    ASSERT_TRUE(c.start(true, true));
    CK_OBJECT_HANDLE h = 0;
    ASSERT_EQ(c.create("d1", random_bytes(100), false, &h), CKR_OK);
    ASSERT_EQ(c.create("d2", {1, 2, 3}, true), CKR_OK);

    // Longer (more than one command's data), shorter, empty, longer again.
    for (size_t length : {2500u, 10u, 0u, 40u}) {
        SCOPED_TRACE(length);
        const bytes v = random_bytes(length);
        ASSERT_EQ(c.set_value(h, v), CKR_OK);
        EXPECT_EQ(c.attribute(h, CKA_VALUE), v);
        bytes n;
        ASSERT_EQ(c.get(h, CKA_VALUE_LEN, n), CKR_OK);
        EXPECT_EQ(n.size(), sizeof(CK_ULONG));
        EXPECT_EQ(*reinterpret_cast<const CK_ULONG*>(n.data()), length);
        // One object each, with exactly the new value: no stale bytes, no stale file.
        EXPECT_EQ(other_process_listing(),
                  (std::vector<std::string>{line("d1", v), line("d2", {1, 2, 3})}));
    }

    // The same length again is written in place with one command.
    token.sim().clear_log();
    const bytes same = random_bytes(40);
    ASSERT_EQ(c.set_value(h, same), CKR_OK);
    // (Besides the change counter's own write.)
    int creates = 0, writes = 0, deletes = 0;
    const std::string file = "PUBOBJ";
    for (const auto& apdu : token.sim().apdu_log()) {
        if (apdu.size() < 2) continue;
        const bool names_it =
            std::search(apdu.begin(), apdu.end(), file.begin(), file.end()) != apdu.end();
        creates += apdu[1] == ins_create_file;
        writes += apdu[1] == ins_write_file && names_it;
        deletes += apdu[1] == ins_delete_file;
    }
    EXPECT_EQ(creates, 0);
    EXPECT_EQ(writes, 1);
    EXPECT_EQ(deletes, 0);

    // Another process changes it: this one sees the change at its next search.
    const bytes theirs = random_bytes(77);
    ASSERT_EQ(run_role("set", {{"P11D_LABEL", "d1"}, {"P11D_VALUE", hex(theirs)}}), 0);
    const CK_OBJECT_HANDLE again = c.only("d1");
    ASSERT_NE(again, 0u);
    EXPECT_EQ(c.attribute(again, CKA_VALUE), theirs);
    c.stop();
}

struct fault_case {
    const char* what;
    size_t old_length;
    size_t new_length;
    uint8_t ins;
    int skip; // commands with that INS let through first
};

class DataObjectFault : public DataObjectTest, public ::testing::WithParamInterface<fault_case> {};

// The card refuses one command of a change: the call fails, and the old value
// stays, in this process and on the card, in one file.
TEST_P(DataObjectFault, a_refused_change_keeps_the_old_value) {
    const fault_case& fc = GetParam();
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    client c;
    ASSERT_TRUE(c.start(true, true));
    const bytes old_value = random_bytes(fc.old_length);
    CK_OBJECT_HANDLE h = 0;
    ASSERT_EQ(c.create("f", old_value, false, &h), CKR_OK);

    token.sim().inject_status_word_on(fc.ins, 0x6581, fc.skip);
    EXPECT_NE(c.set_value(h, random_bytes(fc.new_length)), CKR_OK);
    token.sim().clear_faults();
    EXPECT_EQ(c.attribute(h, CKA_VALUE), old_value);
    EXPECT_EQ(other_process_listing(), std::vector<std::string>{line("f", old_value)});
    // And it can still be changed.
    const bytes next = random_bytes(fc.new_length);
    ASSERT_EQ(c.set_value(h, next), CKR_OK);
    EXPECT_EQ(other_process_listing(), std::vector<std::string>{line("f", next)});
    c.stop();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DataObjectFault,
    ::testing::Values(fault_case{"longer_file_not_created", 200, 600, ins_create_file, 0},
                      fault_case{"longer_value_not_written", 200, 600, ins_write_file, 0},
                      fault_case{"longer_second_piece_not_written", 200, 3000, ins_write_file, 1},
                      fault_case{"old_file_not_deleted", 200, 600, ins_delete_file, 0},
                      fault_case{"shorter_value_not_written", 200, 20, ins_write_file, 0},
                      fault_case{"same_length_not_written", 200, 200, ins_write_file, 0}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(DataObjectTest, a_new_object_the_card_does_not_take_leaves_nothing_behind) {
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    client c;
    ASSERT_TRUE(c.start(true, true));
    // (The first search sets up the change counter's file, which a later
    // write must not be mistaken for.)
    ASSERT_TRUE(c.find().empty());
    // Its value is refused: the half-made file goes again.
    token.sim().clear_log();
    token.sim().inject_status_word_on(ins_write_file, 0x6581);
    EXPECT_NE(c.create("lost", random_bytes(50)), CKR_OK);
    const auto log = token.sim().apdu_log();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const bytes& a) { return a.size() > 1 && a[1] == ins_delete_file; }),
              1);
    EXPECT_TRUE(c.find().empty());
    // A name longer than the card's 32 characters: the device's name-length code.
    constexpr CK_RV SAR_NAMELENERR = 0x0A000009;
    EXPECT_EQ(c.create("a-label-that-makes-the-name-long", random_bytes(5)), SAR_NAMELENERR);
    EXPECT_TRUE(c.find().empty());
    EXPECT_TRUE(other_process_listing().empty());
    const bytes v = random_bytes(50);
    ASSERT_EQ(c.create("kept", v), CKR_OK);
    EXPECT_EQ(other_process_listing(), std::vector<std::string>{line("kept", v)});
    c.stop();
}

TEST_F(DataObjectTest, a_full_card_refuses_a_longer_value_and_a_new_object_and_keeps_what_it_has) {
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    client c;
    ASSERT_TRUE(c.start(true, true));
    const bytes old_value = random_bytes(100);
    CK_OBJECT_HANDLE h = 0;
    ASSERT_EQ(c.create("kept", old_value, false, &h), CKR_OK);
    // Fill the card until not even 100 bytes fit.
    int n = 0;
    for (CK_ULONG size = 0xFFFF; size >= 100; size /= 2)
        while (c.m->M_CreateFile(c.s, ("fill" + std::to_string(n)).c_str(), size, 0xFF, 0xFF) ==
               CKR_OK)
            ++n;
    ASSERT_GT(n, 0);

    EXPECT_NE(c.set_value(h, random_bytes(300)), CKR_OK);
    EXPECT_EQ(c.attribute(h, CKA_VALUE), old_value);
    EXPECT_NE(c.create("new", random_bytes(300)), CKR_OK);
    EXPECT_EQ(c.find().size(), 1u);
    EXPECT_EQ(other_process_listing(), std::vector<std::string>{line("kept", old_value)});
    c.stop();
}

TEST_F(DataObjectTest, damaged_files_on_the_card_are_skipped_or_refused_without_reading_past_them) {
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    client c;
    ASSERT_TRUE(c.start(true, false));
    const auto header = [](const char* label, uint32_t n, uint8_t is_private = 0) {
        bytes h(52, 0);
        std::memcpy(h.data() + 4, label, strlen(label));
        h[44] = 1;
        h[45] = is_private;
        h[46] = 1;
        for (int i = 0; i < 4; ++i)
            h[48 + i] = static_cast<uint8_t>(n >> (8 * i));
        return h;
    };
    const auto put = [&](const char* name, const bytes& content, CK_ULONG rights = 0xFF) {
        ASSERT_EQ(c.m->M_CreateFile(c.s, name, content.size(), rights, rights), CKR_OK) << name;
        ASSERT_EQ(
            c.m->M_WriteFile(c.s, name, 0, const_cast<uint8_t*>(content.data()), content.size()),
            CKR_OK)
            << name;
    };
    bytes good = header("good", 3);
    good.insert(good.end(), {'a', 'b', 'c'});
    bytes cut = header("cut", 100);
    cut.resize(62);
    put("PUBOBJ90", bytes(30, 0x41));            // shorter than a header
    put("PUBOBJ91", bytes(52, 0));               // writing never ended
    put("PUBOBJ92", header("huge", 0xFFFFFFFF)); // a length no file holds
    put("PUBOBJ93", cut);                        // value shorter than its header says
    put("keyPUBOBJ94", header("notmine", 0));    // not a data-object file
    put("PUBOBJ95", good);

    // A search for certificates reads no data-object file.
    const auto names_file = [](const bytes& apdu, const std::string& file) {
        return std::search(apdu.begin(), apdu.end(), file.begin(), file.end()) != apdu.end();
    };
    token.sim().clear_log();
    CK_OBJECT_CLASS cert_class = CKO_CERTIFICATE;
    CK_ATTRIBUTE certs{CKA_CLASS, &cert_class, sizeof cert_class};
    ASSERT_EQ(c.f->C_FindObjectsInit(c.s, &certs, 1), CKR_OK);
    ASSERT_EQ(c.f->C_FindObjectsFinal(c.s), CKR_OK);
    for (const bytes& apdu : token.sim().apdu_log())
        EXPECT_FALSE(names_file(apdu, "OBJ9"));

    const auto labels = [&] {
        std::vector<std::string> out;
        for (CK_OBJECT_HANDLE h : c.find())
            if (auto l = c.attribute(h, CKA_LABEL))
                out.emplace_back(l->begin(), std::find(l->begin(), l->end(), 0));
        return out;
    };
    EXPECT_EQ(labels(), (std::vector<std::string>{"cut", "good"}));
    EXPECT_EQ(c.attribute(c.only("good"), CKA_VALUE), (bytes{'a', 'b', 'c'}));
    // Read once: asked again, the value comes from memory.
    const CK_OBJECT_HANDLE good_handle = c.only("good");
    token.sim().clear_log();
    EXPECT_EQ(c.attribute(good_handle, CKA_VALUE), (bytes{'a', 'b', 'c'}));
    EXPECT_TRUE(token.sim().apdu_log().empty());
    bytes v;
    EXPECT_EQ(c.get(c.only("cut"), CKA_VALUE, v), CKR_DATA_LEN_RANGE);

    // A "PRIOBJ" file is private whatever its header says: not there before
    // login, there after it, gone again at logout.
    ASSERT_EQ(c.f->C_Login(c.s, CKU_USER, text(user_pin), strlen(user_pin)), CKR_OK);
    bytes secret = header("secret", 2, 0);
    secret.insert(secret.end(), {'s', 't'});
    put("PRIOBJ96", secret, 0x10);
    EXPECT_EQ(labels(), (std::vector<std::string>{"cut", "good", "secret"}));
    EXPECT_EQ(c.attribute(c.only("secret"), CKA_PRIVATE), bytes{1});
    ASSERT_EQ(c.f->C_Logout(c.s), CKR_OK);
    EXPECT_EQ(labels(), (std::vector<std::string>{"cut", "good"}));
    c.stop();
}

// Files as another writer leaves them when it relabels an object in place:
// the file keeps its name, the header gets the new label. The name gives the
// label only where the header cannot hold it (a label of over 16 bytes).
TEST_F(DataObjectTest, a_file_relabelled_in_place_reads_back_with_the_label_of_its_header) {
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    client c;
    ASSERT_TRUE(c.start(true, false));
    const auto put = [&](const char* name, const char* header_label) {
        bytes h(52, 0);
        std::memcpy(h.data() + 4, header_label, strlen(header_label));
        h[44] = 1;
        h[46] = 1;
        ASSERT_EQ(c.m->M_CreateFile(c.s, name, h.size(), 0xFF, 0xFF), CKR_OK) << name;
        ASSERT_EQ(c.m->M_WriteFile(c.s, name, 0, h.data(), h.size()), CKR_OK) << name;
    };
    put("PUBOBJ97_old", "");               // relabelled to the empty label
    put("PUBOBJ98_old", "new");            // relabelled to "new"
    put("PUBOBJ99_a-label-of-17-chr", ""); // a label the header cannot hold
    put("PUBOBJ100_sixteen-chars-ok", ""); // one it could hold: the header has none
    std::vector<std::string> labels;
    for (CK_OBJECT_HANDLE h : c.find())
        if (auto l = c.attribute(h, CKA_LABEL)) labels.emplace_back(l->begin(), l->end());
    std::sort(labels.begin(), labels.end());
    EXPECT_EQ(labels, (std::vector<std::string>{"", "", "a-label-of-17-chr", "new"}));
    c.stop();
}

TEST_F(DataObjectTest, signatures_are_logged_in_a_ring_of_ten_on_the_token) {
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    client c;
    ASSERT_TRUE(c.start(true, true));
    CK_OBJECT_HANDLE priv = 0;
    ASSERT_EQ(c.signing_key(priv), CKR_OK);
    const auto sign = [&] { ASSERT_EQ(c.sign(priv), CKR_OK); };
    // Without a "LogSign" object nothing is logged and nothing is created.
    sign();
    EXPECT_TRUE(c.find().empty());

    ASSERT_EQ(c.create("LogSign", bytes(181, 0)), CKR_OK);
    // "dd-mm-yy-hh-mm-ss|"
    const auto stamp = [](const bytes& v, size_t at) {
        for (size_t k = 0; k < 18; ++k) {
            const char ch = static_cast<char>(v[at + k]);
            const bool ok = k == 17 ? ch == '|' : k % 3 == 2 ? ch == '-' : ch >= '0' && ch <= '9';
            if (!ok) return false;
        }
        return true;
    };
    for (int i = 1; i <= 11; ++i) {
        sign();
        const auto v = c.attribute(c.only("LogSign"), CKA_VALUE);
        ASSERT_TRUE(v.has_value());
        ASSERT_EQ(v->size(), 181u);
        EXPECT_EQ((*v)[0], i <= 10 ? i : 1) << i;
        for (int e = 0; e < std::min(i, 10); ++e)
            EXPECT_TRUE(stamp(*v, 1 + 18 * static_cast<size_t>(e)))
                << "entry " << e << " after " << i;
        if (i < 10) {
            EXPECT_EQ(bytes(v->begin() + 1 + 18 * i, v->end()), bytes(181 - 1 - 18 * i, 0));
        }
    }
    // On the card, for every process.
    const auto mine = c.attribute(c.only("LogSign"), CKA_VALUE);
    EXPECT_EQ(other_process_listing(), std::vector<std::string>{line("LogSign", *mine)});
    c.stop();
}

// The log is a token object whose value is the 181-byte record: a "LogSign"
// session object, and a token one whose value is longer than the record,
// are the application's own and stay exactly as they are.
TEST_F(DataObjectTest, a_log_in_the_session_or_longer_than_the_record_is_left_as_it_is) {
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    client c;
    ASSERT_TRUE(c.start(true, true));
    CK_OBJECT_HANDLE priv = 0;
    ASSERT_EQ(c.signing_key(priv), CKR_OK);
    struct row {
        const char* name;
        CK_BBOOL on_token;
        size_t size;
    };
    const row rows[] = {{"session object", CK_FALSE, 181}, {"200 bytes", CK_TRUE, 200}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        bytes value = random_bytes(r.size);
        value[0] = 3; // a ring index the log would use
        CK_OBJECT_CLASS cls = CKO_DATA;
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                            {CKA_TOKEN, const_cast<CK_BBOOL*>(&r.on_token), 1},
                            {CKA_LABEL, const_cast<char*>("LogSign"), 7},
                            {CKA_VALUE, value.data(), value.size()}};
        CK_OBJECT_HANDLE log = 0;
        ASSERT_EQ(c.f->C_CreateObject(c.s, t, std::size(t), &log), CKR_OK);
        ASSERT_EQ(c.sign(priv), CKR_OK);
        EXPECT_EQ(c.attribute(log, CKA_VALUE), value);
        if (r.on_token) {
            EXPECT_EQ(other_process_listing(), std::vector<std::string>{line("LogSign", value)});
        }
        ASSERT_EQ(c.f->C_DestroyObject(c.s, log), CKR_OK);
    }
    c.stop();
}

namespace {

// The 16-byte response of the SO-PIN unblock: SM4-ECB under the SO PIN's
// key over the card's 8-byte challenge and 8 zero bytes.
bytes unblock_response(const std::string& so, const bytes& challenge) {
    bytes block(16, 0);
    std::copy_n(challenge.begin(), 8, block.begin());
    const auto key = test_support::pin_key(so);
    return test_support::sm4_ecb(key, block, true);
}

} // namespace

TEST_F(DataObjectTest, vendor_functions_reach_the_device) {
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    client c;
    ASSERT_TRUE(c.start(true, false));

    // M_GetApplicationInfo: the name, the PIN bounds of the formatted token
    // and the card's login state.
    auto info =
        reinterpret_cast<decltype(&M_GetApplicationInfo)>(module().symbol("M_GetApplicationInfo"));
    ASSERT_NE(info, nullptr);
    char name[64];
    std::memset(name, 'x', sizeof name);
    CK_BYTE b[4] = {};
    unsigned int state = 0xDEAD;
    ASSERT_EQ(info(0, name, &b[0], &b[1], &b[2], &b[3], &state), CKR_OK);
    EXPECT_NE(name[0], '\0');
    EXPECT_EQ(name[63], '\0');
    EXPECT_EQ((std::vector<int>{b[0], b[1], b[2], b[3]}), (std::vector<int>{4, 16, 4, 16}));
    // (This card: bit 0 user, bit 1 security officer; the SO set the user PIN.)
    EXPECT_EQ(state & 1u, 0u);
    ASSERT_EQ(c.f->C_Login(c.s, CKU_USER, text(user_pin), strlen(user_pin)), CKR_OK);
    ASSERT_EQ(info(0, name, &b[0], &b[1], &b[2], &b[3], &state), CKR_OK);
    EXPECT_EQ(state & 1u, 1u);
    EXPECT_EQ(info(7, name, &b[0], &b[1], &b[2], &b[3], &state), CKR_SLOT_ID_INVALID);

    // M_SetInqString: a PC/SC token has no inquiry string; the device API says so.
    auto inq = reinterpret_cast<decltype(&M_SetInqString)>(module().symbol("M_SetInqString"));
    ASSERT_NE(inq, nullptr);
    EXPECT_EQ(inq(0, "Vendor", "Product"), SAR_FAIL);

    // M_RemoteUnblockUserPinMS: the SO's response to the card's challenge
    // and a new user PIN; the card's reply (none on this card) leaves the
    // caller's buffer as it was.
    auto unblock = reinterpret_cast<decltype(&M_RemoteUnblockUserPinMS)>(
        module().symbol("M_RemoteUnblockUserPinMS"));
    ASSERT_NE(unblock, nullptr);
    const auto attempt = [&](const std::string& so, const std::string& new_pin, bytes& reply,
                             CK_ULONG& retries) {
        bytes challenge(8);
        EXPECT_EQ(c.f->C_GenerateRandom(c.s, challenge.data(), challenge.size()), CKR_OK);
        bytes data = unblock_response(so, challenge);
        data.insert(data.end(), new_pin.begin(), new_pin.end());
        return unblock(c.s, data.data(), data.size(), reply.data(), &retries);
    };
    bytes reply(256, 0xA5);
    CK_ULONG retries = 99;
    EXPECT_EQ(attempt("wrong", "13572468", reply, retries), CKR_PIN_INCORRECT);
    ASSERT_EQ(attempt(so_pin, "13572468", reply, retries), CKR_OK);
    EXPECT_EQ(reply, bytes(256, 0xA5));
    ASSERT_EQ(c.f->C_Logout(c.s), CKR_OK);
    EXPECT_EQ(c.f->C_Login(c.s, CKU_USER, text(user_pin), strlen(user_pin)), CKR_PIN_INCORRECT);
    EXPECT_EQ(c.f->C_Login(c.s, CKU_USER, text("13572468"), 8), CKR_OK);
    c.stop();
}
