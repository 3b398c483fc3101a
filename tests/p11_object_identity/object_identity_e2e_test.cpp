// Objects that several processes share, through the built module (dlopen +
// C_GetFunctionList) on a simulated token behind pcscd: the handles one
// process holds outlast what another process creates, changes and destroys,
// and a reading anew of the token (PKCS#11 v2.20 section 6.7.5: a handle stays
// valid as long as the session and the object last); searches take CKA_LABEL
// and CKA_ID exactly; data-object labels come back from the card as written.
//
// Other processes are this test binary run again with P11I_ROLE set: the
// helper test "ObjectIdentityHelper.role" then plays that role and exits.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cardsim_harness.h"
#include "module_loader.h"
#include "p11_objects.h"
#include "test_hex.h"
#include "test_process.h"
#include "token_session.h"

using cardsim::test::simulated_token;

namespace {

using test_support::env;
using test_support::read_lines;
using test_support::so_pin;
using test_support::user_pin;
using bytes = std::vector<uint8_t>;
constexpr CK_RV SAR_NAMELENERR = 0x0A000009;

bytes text(const std::string& s) {
    return {s.begin(), s.end()};
}

// n bytes that differ from one seed to the next.
bytes pattern(size_t n, uint8_t seed) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed * 37 + i * 11);
    return b;
}

// The test's side of the module: a read-write session on slot 0, the user
// logged in.
class client {
  public:
    bool start(bool init_pin) {
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
        if (!ok(f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s),
                "C_OpenSession"))
            return false;
        if (init_pin) return test_support::login_new_user(f, s);
        return ok(f->C_Login(s, CKU_USER, test_support::utf8(user_pin), strlen(user_pin)),
                  "C_Login");
    }
    // Closing the sessions logs the token out.
    void stop() {
        if (f == nullptr) return;
        f->C_CloseAllSessions(0);
        f->C_Finalize(nullptr);
    }

    CK_RV create_data(const std::string& label, const bytes& value, bool token, CK_OBJECT_HANDLE* h,
                      const std::string& application = {}) {
        CK_OBJECT_CLASS cls = CKO_DATA;
        CK_BBOOL on_token = token ? CK_TRUE : CK_FALSE;
        std::vector<CK_ATTRIBUTE> t = {
            {CKA_CLASS, &cls, sizeof cls},
            {CKA_TOKEN, &on_token, 1},
            {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
            {CKA_VALUE, const_cast<uint8_t*>(value.data()), value.size()},
        };
        if (!application.empty())
            t.push_back(
                {CKA_APPLICATION, const_cast<char*>(application.data()), application.size()});
        return f->C_CreateObject(s, t.data(), t.size(), h);
    }
    // An RSA public key kept in memory (session or token object).
    CK_RV create_public_key(const bytes& id, bool token, CK_OBJECT_HANDLE* h) {
        CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
        CK_KEY_TYPE kt = CKK_RSA;
        CK_BBOOL on_token = token ? CK_TRUE : CK_FALSE;
        bytes modulus(128, 0xC5);
        uint8_t exponent[] = {1, 0, 1};
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                            {CKA_KEY_TYPE, &kt, sizeof kt},
                            {CKA_TOKEN, &on_token, 1},
                            {CKA_ID, const_cast<uint8_t*>(id.data()), id.size()},
                            {CKA_MODULUS, modulus.data(), modulus.size()},
                            {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent}};
        return f->C_CreateObject(s, t, std::size(t), h);
    }
    // An RSA pair generated on the card; a label names its container.
    CK_RV generate(const std::string& label, const bytes& id, CK_OBJECT_HANDLE* pub,
                   CK_OBJECT_HANDLE* priv) {
        CK_BBOOL yes = CK_TRUE;
        CK_ULONG bits = 1024;
        std::vector<CK_ATTRIBUTE> pt = {
            {CKA_TOKEN, &yes, 1}, {CKA_VERIFY, &yes, 1}, {CKA_MODULUS_BITS, &bits, sizeof bits}};
        std::vector<CK_ATTRIBUTE> st = {
            {CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}, {CKA_SIGN, &yes, 1}};
        for (auto* t : {&pt, &st}) {
            if (!label.empty())
                t->push_back({CKA_LABEL, const_cast<char*>(label.data()), label.size()});
            if (!id.empty()) t->push_back({CKA_ID, const_cast<uint8_t*>(id.data()), id.size()});
        }
        CK_MECHANISM gen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        return f->C_GenerateKeyPair(s, &gen, pt.data(), pt.size(), st.data(), st.size(), pub, priv);
    }

    std::vector<CK_OBJECT_HANDLE> find(std::vector<CK_ATTRIBUTE> t) {
        return test_support::find_objects(f, s, std::move(t));
    }
    std::vector<CK_OBJECT_HANDLE> find_class(CK_OBJECT_CLASS cls,
                                             const std::string* label = nullptr) {
        std::vector<CK_ATTRIBUTE> t = {{CKA_CLASS, &cls, sizeof cls}};
        if (label != nullptr)
            t.push_back({CKA_LABEL, const_cast<char*>(label->data()), label->size()});
        return find(t);
    }

    CK_RV get(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type, bytes& out) {
        return test_support::attribute_value(f, s, h, type, out);
    }
    std::optional<bytes> attribute(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type) {
        return test_support::attribute_value(f, s, h, type);
    }
    CK_ULONG ulong_attribute(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type) {
        CK_ULONG v = 0;
        CK_ATTRIBUTE a{type, &v, sizeof v};
        return f->C_GetAttributeValue(s, h, &a, 1) == CKR_OK ? v : ~CK_ULONG{0};
    }
    // The label as text, up to a terminating NUL (key labels carry one).
    std::string label_of(CK_OBJECT_HANDLE h) {
        const auto v = attribute(h, CKA_LABEL);
        return v ? std::string(v->begin(), std::find(v->begin(), v->end(), 0)) : "?";
    }

    // Signs with the private key and verifies with the public key; the first
    // answer that is not CKR_OK.
    CK_RV sign_and_verify(CK_OBJECT_HANDLE priv, CK_OBJECT_HANDLE pub) {
        CK_MECHANISM mech{CKM_SHA256_RSA_PKCS, nullptr, 0};
        uint8_t data[] = "held handles";
        uint8_t sig[256];
        CK_ULONG n = sizeof sig;
        if (CK_RV rv = f->C_SignInit(s, &mech, priv); rv != CKR_OK) return rv;
        if (CK_RV rv = f->C_Sign(s, data, sizeof data, sig, &n); rv != CKR_OK) return rv;
        if (CK_RV rv = f->C_VerifyInit(s, &mech, pub); rv != CKR_OK) return rv;
        return f->C_Verify(s, data, sizeof data, sig, n);
    }

    CK_FUNCTION_LIST* f = nullptr;
    M_FUNCTION_LIST* m = nullptr;
    CK_SESSION_HANDLE s = 0;
};

// Runs this binary again as another process in `role`; its exit status.
int run_role(const std::string& role, std::map<std::string, std::string> vars = {}) {
    vars["P11I_ROLE"] = role;
    return test_support::run_self("ObjectIdentityHelper.role", vars);
}

std::vector<std::string> split(const std::string& list) {
    std::vector<std::string> out;
    std::stringstream in(list);
    for (std::string item; std::getline(in, item, ',');)
        out.push_back(item);
    return out;
}

class ObjectIdentityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("p11i-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // What another process finds for each label: "label count hex(CKA_LABEL)
    // hex(CKA_APPLICATION)" ("label 0" when it finds none).
    std::vector<std::string> other_process_labels(const std::string& labels,
                                                  bool template_nul = false) {
        const std::string out = (dir_ / "labels").string();
        std::filesystem::remove(out);
        EXPECT_EQ(run_role("labels", {{"P11I_LABELS", labels},
                                      {"P11I_OUT", out},
                                      {"P11I_TEMPLATE_NUL", template_nul ? "1" : "0"}}),
                  0);
        return read_lines(out);
    }

    simulated_token token_{test_support::module_token_options()};
    std::filesystem::path dir_;
};

} // namespace

// ---- the other process ----

// Roles (P11I_ROLE):
//   "change": creates the data objects "theirs" and "a-twenty-byte-label!" and
//     the key pair "their-key"; gives the data object labelled P11I_SHARED the
//     label P11I_SHARED_LABEL and the value P11I_SHARED_VALUE (hex); destroys
//     the data object labelled P11I_DOOMED and the private key labelled
//     P11I_DOOMED_KEY (its public key goes with it).
//   "labels": for each label of P11I_LABELS (comma-separated), writes what
//     ObjectIdentityTest::other_process_labels describes to P11I_OUT; with
//     P11I_TEMPLATE_NUL=1 the search asks for each label with a NUL after it.
//   "recreate": destroys the one data object labelled P11I_LABEL and creates
//     another of that label with the value P11I_VALUE (hex).
//   "regenerate": destroys the one private key labelled P11I_LABEL (its
//     public key goes with it), generates a pair of that label and writes
//     its modulus (hex) to P11I_OUT.
TEST(ObjectIdentityHelper, role) {
    const std::string role = env("P11I_ROLE");
    if (role.empty()) GTEST_SKIP() << "run by the other tests";
    client c;
    ASSERT_TRUE(c.start(false));
    if (role == "change") {
        CK_OBJECT_HANDLE h = 0, pub = 0, priv = 0;
        ASSERT_EQ(c.create_data("theirs", pattern(30, 7), true, &h), CKR_OK);
        ASSERT_EQ(c.create_data("a-twenty-byte-label!", pattern(12, 8), true, &h), CKR_OK);
        ASSERT_EQ(c.generate("their-key", {}, &pub, &priv), CKR_OK);
        const std::string shared = env("P11I_SHARED");
        const auto found = c.find_class(CKO_DATA, &shared);
        ASSERT_EQ(found.size(), 1u);
        const std::string new_label = env("P11I_SHARED_LABEL");
        bytes value = test_support::from_hex(env("P11I_SHARED_VALUE"));
        CK_ATTRIBUTE change[] = {{CKA_LABEL, const_cast<char*>(new_label.data()), new_label.size()},
                                 {CKA_VALUE, value.data(), value.size()}};
        ASSERT_EQ(c.f->C_SetAttributeValue(c.s, found[0], change, 2), CKR_OK);
        const std::string doomed = env("P11I_DOOMED");
        const auto gone = c.find_class(CKO_DATA, &doomed);
        ASSERT_EQ(gone.size(), 1u);
        ASSERT_EQ(c.f->C_DestroyObject(c.s, gone[0]), CKR_OK);
        const std::string doomed_key = env("P11I_DOOMED_KEY");
        const auto keys = c.find_class(CKO_PRIVATE_KEY, &doomed_key);
        ASSERT_EQ(keys.size(), 1u);
        ASSERT_EQ(c.f->C_DestroyObject(c.s, keys[0]), CKR_OK);
    } else if (role == "labels") {
        FILE* out = fopen(env("P11I_OUT").c_str(), "w");
        ASSERT_NE(out, nullptr);
        const bool with_nul = env("P11I_TEMPLATE_NUL") == "1";
        for (const std::string& label : split(env("P11I_LABELS"))) {
            const std::string wanted = with_nul ? label + std::string(1, '\0') : label;
            const auto found = c.find_class(CKO_DATA, &wanted);
            std::string line = label + " " + std::to_string(found.size());
            for (CK_OBJECT_HANDLE h : found)
                for (CK_ATTRIBUTE_TYPE type : {CKA_LABEL, CKA_APPLICATION})
                    line += " " + test_support::to_hex(c.attribute(h, type).value_or(text("?")));
            fprintf(out, "%s\n", line.c_str());
        }
        fclose(out);
    } else if (role == "recreate") {
        const std::string label = env("P11I_LABEL");
        const auto found = c.find_class(CKO_DATA, &label);
        ASSERT_EQ(found.size(), 1u);
        ASSERT_EQ(c.f->C_DestroyObject(c.s, found[0]), CKR_OK);
        CK_OBJECT_HANDLE h = 0;
        ASSERT_EQ(c.create_data(label, test_support::from_hex(env("P11I_VALUE")), true, &h),
                  CKR_OK);
    } else if (role == "regenerate") {
        const std::string label = env("P11I_LABEL");
        const auto found = c.find_class(CKO_PRIVATE_KEY, &label);
        ASSERT_EQ(found.size(), 1u);
        ASSERT_EQ(c.f->C_DestroyObject(c.s, found[0]), CKR_OK);
        CK_OBJECT_HANDLE pub = 0, priv = 0;
        ASSERT_EQ(c.generate(label, {}, &pub, &priv), CKR_OK);
        FILE* out = fopen(env("P11I_OUT").c_str(), "w");
        ASSERT_NE(out, nullptr);
        fprintf(out, "%s\n",
                test_support::to_hex(c.attribute(pub, CKA_MODULUS).value_or(text("?"))).c_str());
        fclose(out);
    }
    c.stop();
}

// Process A holds a key pair and data objects; process B creates, changes and
// destroys objects on the same token. A's next searches read the token again:
// what still exists keeps its handle (and shows what B made of it), what B
// destroyed answers CKR_OBJECT_HANDLE_INVALID, and B's new objects get handles
// A never gave out before. Every object is listed once.
TEST_F(ObjectIdentityTest, handles_held_by_one_process_outlast_another_processes_changes) {
    ASSERT_TRUE(token_.inserted()) << token_.error();
    client a;
    ASSERT_TRUE(a.start(true));
    CK_OBJECT_HANDLE pub = 0, priv = 0, doomed_pub = 0, doomed_priv = 0;
    ASSERT_EQ(a.generate("mine-key", {}, &pub, &priv), CKR_OK);
    ASSERT_EQ(a.generate("doomed-key", {}, &doomed_pub, &doomed_priv), CKR_OK);
    const bytes mine_value = pattern(40, 1);
    const bytes new_value = pattern(24, 3); // as long as the value it replaces
    CK_OBJECT_HANDLE mine = 0, shared = 0, doomed = 0;
    ASSERT_EQ(a.create_data("mine", mine_value, true, &mine), CKR_OK);
    ASSERT_EQ(a.create_data("shared", pattern(24, 2), true, &shared), CKR_OK);
    ASSERT_EQ(a.create_data("doomed", pattern(8, 4), true, &doomed), CKR_OK);
    ASSERT_EQ(a.sign_and_verify(priv, pub), CKR_OK);
    const auto modulus = a.attribute(priv, CKA_MODULUS);
    ASSERT_TRUE(modulus.has_value());
    const std::set<CK_OBJECT_HANDLE> held = {pub,  priv,   doomed_pub, doomed_priv,
                                             mine, shared, doomed};

    ASSERT_EQ(run_role("change", {{"P11I_SHARED", "shared"},
                                  {"P11I_SHARED_LABEL", "shared-new"},
                                  {"P11I_SHARED_VALUE", test_support::to_hex(new_value)},
                                  {"P11I_DOOMED", "doomed"},
                                  {"P11I_DOOMED_KEY", "doomed-key"}}),
              0);

    // A search for data objects sees the change and reads the data files
    // again; the keys are read again by a search that may return them.
    bytes ignored;
    EXPECT_EQ(a.find_class(CKO_DATA).size(), 4u);
    EXPECT_EQ(a.sign_and_verify(priv, pub), CKR_OK);
    EXPECT_EQ(a.attribute(mine, CKA_LABEL), text("mine"));
    EXPECT_EQ(a.attribute(mine, CKA_VALUE), mine_value);
    EXPECT_EQ(a.attribute(shared, CKA_LABEL), text("shared-new"));
    EXPECT_EQ(a.attribute(shared, CKA_VALUE), new_value);
    EXPECT_EQ(a.get(doomed, CKA_LABEL, ignored), CKR_OBJECT_HANDLE_INVALID);

    const auto all = a.find({});
    EXPECT_EQ(a.sign_and_verify(priv, pub), CKR_OK);
    EXPECT_EQ(a.attribute(priv, CKA_MODULUS), modulus);
    EXPECT_EQ(a.get(doomed_priv, CKA_LABEL, ignored), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(a.get(doomed_pub, CKA_LABEL, ignored), CKR_OBJECT_HANDLE_INVALID);
    std::vector<std::string> listed;
    for (CK_OBJECT_HANDLE h : all) {
        listed.push_back(std::to_string(a.ulong_attribute(h, CKA_CLASS)) + " " + a.label_of(h));
        if (held.count(h) == 0) {
            EXPECT_GT(h, *held.rbegin()) << listed.back();
        }
    }
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{"0 a-twenty-byte-label!", "0 mine", "0 shared-new",
                                                "0 theirs", "2 mine-key", "2 their-key",
                                                "3 mine-key", "3 their-key"}));
    for (CK_OBJECT_HANDLE h : {pub, priv, mine, shared})
        EXPECT_EQ(std::count(all.begin(), all.end(), h), 1) << h;

    // Read anew on request: the same objects under the same handles.
    ASSERT_EQ(a.m->M_ReloadObjects(a.s), CKR_OK);
    const auto again = a.find({});
    EXPECT_EQ(std::set<CK_OBJECT_HANDLE>(again.begin(), again.end()),
              std::set<CK_OBJECT_HANDLE>(all.begin(), all.end()));
    EXPECT_EQ(again.size(), all.size());
    EXPECT_EQ(a.sign_and_verify(priv, pub), CKR_OK);
    EXPECT_EQ(a.attribute(shared, CKA_VALUE), new_value);
    a.stop();
}

// What process A does first with the handle it kept, after process B put
// another object in the place of A's.
// read_unloaded: a read of a value A has not read since M_ReloadObjects;
// sign_started: C_Sign of an operation A began before B's change.
enum class first_step {
    search,
    read,
    read_unloaded,
    destroy,
    set_label,
    copy,
    sign_init,
    verify_init,
    sign_started
};

struct stale_case {
    const char* name;
    first_step step;
};

void PrintTo(const stale_case& c, std::ostream* os) {
    *os << c.name;
}

// The first step of A with its old handle: the answer, and for a read the
// value it gave.
CK_RV stale_step(client& a, first_step step, CK_OBJECT_HANDLE h, const std::string& label,
                 bytes& read) {
    switch (step) {
    case first_step::search:
        (void)a.find_class(CKO_DATA, &label);
        return a.get(h, CKA_VALUE, read);
    case first_step::read:
    case first_step::read_unloaded:
        return a.get(h, CKA_VALUE, read);
    case first_step::destroy:
        return a.f->C_DestroyObject(a.s, h);
    case first_step::set_label: {
        char mine[] = "mine";
        CK_ATTRIBUTE relabel{CKA_LABEL, mine, 4};
        return a.f->C_SetAttributeValue(a.s, h, &relabel, 1);
    }
    case first_step::copy: {
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE on_token{CKA_TOKEN, &yes, 1};
        CK_OBJECT_HANDLE copy = 0;
        return a.f->C_CopyObject(a.s, h, &on_token, 1, &copy);
    }
    case first_step::sign_init: {
        CK_MECHANISM mech{CKM_SHA256_RSA_PKCS, nullptr, 0};
        return a.f->C_SignInit(a.s, &mech, h);
    }
    case first_step::verify_init: {
        CK_MECHANISM mech{CKM_SHA256_RSA_PKCS, nullptr, 0};
        return a.f->C_VerifyInit(a.s, &mech, h);
    }
    case first_step::sign_started: {
        uint8_t data[] = "begun before";
        uint8_t sig[256];
        CK_ULONG n = sizeof sig;
        return a.f->C_Sign(a.s, data, sizeof data, sig, &n);
    }
    }
    return CKR_GENERAL_ERROR;
}

class StaleDataHandle : public ObjectIdentityTest,
                        public ::testing::WithParamInterface<stale_case> {};

// A keeps the handle of its data object "x"; B destroys "x" and creates a
// new "x" with another value, in the same place on the card as far as a
// reader could tell. A's handle never names B's object: whatever A does
// first with it, it reads no value but A's own and destroys or changes
// nothing, and B's object stays as B made it. A's next search finds B's
// object under a new handle.
TEST_P(StaleDataHandle, never_names_the_object_another_process_put_in_its_place) {
    const stale_case& c = GetParam();
    ASSERT_TRUE(token_.inserted()) << token_.error();
    client a;
    ASSERT_TRUE(a.start(true));
    const std::string label = "x";
    const bytes mine = pattern(24, 1);
    const bytes theirs = pattern(24, 2); // as long as A's: the same file size
    CK_OBJECT_HANDLE held = 0;
    ASSERT_EQ(a.create_data(label, mine, true, &held), CKR_OK);
    // Read anew, the object's value stays on the card until it is asked for.
    if (c.step == first_step::read_unloaded) {
        ASSERT_EQ(a.m->M_ReloadObjects(a.s), CKR_OK);
    }
    ASSERT_EQ(
        run_role("recreate", {{"P11I_LABEL", label}, {"P11I_VALUE", test_support::to_hex(theirs)}}),
        0);

    bytes read;
    const CK_RV rv = stale_step(a, c.step, held, label, read);
    if (c.step == first_step::read && rv == CKR_OK) {
        // Answered from what the handle saw, without the card.
        EXPECT_EQ(read, mine);
    } else {
        EXPECT_EQ(rv, CKR_OBJECT_HANDLE_INVALID);
    }

    const auto found = a.find_class(CKO_DATA, &label);
    EXPECT_EQ(a.get(held, CKA_LABEL, read), CKR_OBJECT_HANDLE_INVALID);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NE(found[0], held);
    EXPECT_EQ(a.attribute(found[0], CKA_VALUE), theirs);
    EXPECT_EQ(other_process_labels(label),
              std::vector<std::string>{"x 1 " + test_support::to_hex(text(label)) + " "});
    a.stop();
}

INSTANTIATE_TEST_SUITE_P(FirstSteps, StaleDataHandle,
                         ::testing::Values(stale_case{"search", first_step::search},
                                           stale_case{"read", first_step::read},
                                           stale_case{"read_unloaded", first_step::read_unloaded},
                                           stale_case{"destroy", first_step::destroy},
                                           stale_case{"set_label", first_step::set_label},
                                           stale_case{"copy", first_step::copy}),
                         [](const auto& info) { return std::string(info.param.name); });

class StaleKeyHandle : public ObjectIdentityTest,
                       public ::testing::WithParamInterface<stale_case> {};

// A keeps the handles of its RSA pair "kaba"; B destroys the pair and
// generates another "kaba", which lands in the same container. A's handles
// name the old pair only: A signs with no other key, reads no other modulus
// and destroys nothing of B's, and finds B's pair under new handles.
TEST_P(StaleKeyHandle, never_names_the_key_another_process_generated_in_its_place) {
    const stale_case& c = GetParam();
    ASSERT_TRUE(token_.inserted()) << token_.error();
    client a;
    ASSERT_TRUE(a.start(true));
    const std::string label = "kaba";
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    ASSERT_EQ(a.generate(label, {}, &pub, &priv), CKR_OK);
    const auto mine = a.attribute(pub, CKA_MODULUS);
    ASSERT_TRUE(mine.has_value());
    if (c.step == first_step::sign_started) {
        CK_MECHANISM mech{CKM_SHA256_RSA_PKCS, nullptr, 0};
        ASSERT_EQ(a.f->C_SignInit(a.s, &mech, priv), CKR_OK);
    }
    const std::string out = (dir_ / "modulus").string();
    ASSERT_EQ(run_role("regenerate", {{"P11I_LABEL", label}, {"P11I_OUT", out}}), 0);
    const auto lines = read_lines(out);
    ASSERT_EQ(lines.size(), 1u);
    const bytes theirs = test_support::from_hex(lines[0]);
    ASSERT_NE(theirs, *mine);

    bytes ignored;
    switch (c.step) {
    case first_step::sign_init:
    case first_step::sign_started:
        EXPECT_EQ(stale_step(a, c.step, priv, label, ignored), CKR_KEY_HANDLE_INVALID);
        break;
    case first_step::verify_init:
        EXPECT_EQ(stale_step(a, c.step, pub, label, ignored), CKR_KEY_HANDLE_INVALID);
        break;
    case first_step::destroy:
        EXPECT_EQ(stale_step(a, c.step, priv, label, ignored), CKR_OBJECT_HANDLE_INVALID);
        break;
    default: // a search for the keys first
        (void)a.find_class(CKO_PRIVATE_KEY, &label);
        EXPECT_EQ(a.get(pub, CKA_MODULUS, ignored), CKR_OBJECT_HANDLE_INVALID);
        break;
    }
    EXPECT_EQ(a.get(priv, CKA_MODULUS, ignored), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(a.get(pub, CKA_MODULUS, ignored), CKR_OBJECT_HANDLE_INVALID);

    // B's pair is whole, and A reaches it under new handles.
    const auto privs = a.find_class(CKO_PRIVATE_KEY, &label);
    const auto pubs = a.find_class(CKO_PUBLIC_KEY, &label);
    ASSERT_EQ(privs.size(), 1u);
    ASSERT_EQ(pubs.size(), 1u);
    EXPECT_NE(privs[0], priv);
    EXPECT_NE(pubs[0], pub);
    EXPECT_EQ(a.attribute(pubs[0], CKA_MODULUS), theirs);
    EXPECT_EQ(a.attribute(privs[0], CKA_MODULUS), theirs);
    EXPECT_EQ(a.sign_and_verify(privs[0], pubs[0]), CKR_OK);
    a.stop();
}

INSTANTIATE_TEST_SUITE_P(FirstSteps, StaleKeyHandle,
                         ::testing::Values(stale_case{"search", first_step::search},
                                           stale_case{"sign_init", first_step::sign_init},
                                           stale_case{"verify_init", first_step::verify_init},
                                           stale_case{"sign_started", first_step::sign_started},
                                           stale_case{"destroy", first_step::destroy}),
                         [](const auto& info) { return std::string(info.param.name); });

// Where the objects of a search come from: created in a session, created on
// the token, read anew from the card (M_ReloadObjects), or searched for by
// another process.
enum class origin { session, token, reloaded, other_process };
// Which side of a label search carries one NUL more: C callers often pass a
// label with its terminator, and labels read from the card have none.
enum class extra_nul { none, in_template, in_stored };

struct search_case {
    const char* name;
    bool by_label; // labels of data objects, else identifiers of keys
    origin from;
    extra_nul nul = extra_nul::none;
};

void PrintTo(const search_case& c, std::ostream* os) {
    *os << c.name;
}

class ExactSearch : public ObjectIdentityTest, public ::testing::WithParamInterface<search_case> {};

// A label matches itself, and itself with one NUL more on either side, never
// a longer label; an identifier likewise: "key1" among key1, key10 and key11
// finds one object, 01 among 01, 01 02 and 01 00 finds 01 and 01 00.
TEST_P(ExactSearch, finds_the_value_itself_and_nothing_longer) {
    const search_case& c = GetParam();
    ASSERT_TRUE(token_.inserted()) << token_.error();
    client a;
    ASSERT_TRUE(a.start(true));
    const bool token = c.from != origin::session;
    const std::string nul(1, '\0');
    std::vector<CK_ATTRIBUTE> t;
    std::vector<std::string> want;
    CK_OBJECT_CLASS data = CKO_DATA;
    CK_OBJECT_CLASS key_class = c.from == origin::reloaded ? CKO_PRIVATE_KEY : CKO_PUBLIC_KEY;
    const std::string label = c.nul == extra_nul::in_template ? "key1" + nul : "key1";
    const bytes id{0x01};
    if (c.by_label) {
        for (const std::string l : {"key1", "key10", "key11"}) {
            CK_OBJECT_HANDLE h = 0;
            const std::string stored = c.nul == extra_nul::in_stored ? l + nul : l;
            ASSERT_EQ(a.create_data(stored, text(l), token, &h), CKR_OK) << l;
        }
        t = {{CKA_CLASS, &data, sizeof data},
             {CKA_LABEL, const_cast<char*>(label.data()), label.size()}};
        want = {"key1"};
    } else {
        for (const bytes& each : {bytes{0x01}, bytes{0x01, 0x02}, bytes{0x01, 0x00}}) {
            CK_OBJECT_HANDLE pub = 0, priv = 0;
            const CK_RV rv = c.from == origin::reloaded ? a.generate({}, each, &pub, &priv)
                                                        : a.create_public_key(each, token, &pub);
            ASSERT_EQ(rv, CKR_OK) << test_support::to_hex(each);
        }
        t = {{CKA_CLASS, &key_class, sizeof key_class},
             {CKA_ID, const_cast<uint8_t*>(id.data()), id.size()}};
        want = {"01", "0100"};
    }
    if (c.from == origin::other_process) {
        // Read from the card: the label without a terminator.
        EXPECT_EQ(other_process_labels("key1", c.nul == extra_nul::in_template),
                  std::vector<std::string>{"key1 1 " + test_support::to_hex(text("key1")) + " "});
        a.stop();
        return;
    }
    if (c.from == origin::reloaded) {
        ASSERT_EQ(a.m->M_ReloadObjects(a.s), CKR_OK);
    }
    std::vector<std::string> found;
    for (CK_OBJECT_HANDLE h : a.find(t)) {
        const bytes v = a.attribute(h, c.by_label ? CKA_LABEL : CKA_ID).value_or(bytes{});
        // A label as text (it reads back with its NUL where it was written so);
        // identifiers byte for byte.
        found.push_back(c.by_label ? std::string(v.begin(), std::find(v.begin(), v.end(), 0))
                                   : test_support::to_hex(v));
    }
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, want);
    a.stop();
}

INSTANTIATE_TEST_SUITE_P(
    LabelsAndIds, ExactSearch,
    ::testing::Values(
        search_case{"label_session", true, origin::session},
        search_case{"label_token", true, origin::token},
        search_case{"label_reloaded", true, origin::reloaded},
        search_case{"label_session_template_nul", true, origin::session, extra_nul::in_template},
        search_case{"label_token_template_nul", true, origin::token, extra_nul::in_template},
        search_case{"label_token_stored_nul", true, origin::token, extra_nul::in_stored},
        search_case{"label_reloaded_template_nul", true, origin::reloaded, extra_nul::in_template},
        search_case{"label_reloaded_stored_nul", true, origin::reloaded, extra_nul::in_stored},
        search_case{"label_other_process_template_nul", true, origin::other_process,
                    extra_nul::in_template},
        search_case{"label_other_process_stored_nul", true, origin::other_process,
                    extra_nul::in_stored},
        search_case{"id_session", false, origin::session},
        search_case{"id_token", false, origin::token},
        search_case{"id_reloaded", false, origin::reloaded}),
    [](const auto& info) { return std::string(info.param.name); });

// Another process reads a data object's CKA_LABEL and CKA_APPLICATION exactly
// as they were written (no terminator added), finds a 20-byte label (too long
// for the file header, kept in the file name) by that label, and follows a
// label changed to one of 20 bytes. A label no file name could carry is
// refused instead of being lost.
TEST_F(ObjectIdentityTest, data_object_labels_reach_another_process_byte_for_byte) {
    ASSERT_TRUE(token_.inserted()) << token_.error();
    client a;
    ASSERT_TRUE(a.start(true));
    CK_OBJECT_HANDLE h = 0, twenty = 0;
    ASSERT_EQ(a.create_data("lbl-test", pattern(10, 1), true, &h, "app-x"), CKR_OK);
    ASSERT_EQ(a.create_data("a-twenty-byte-label!", pattern(10, 2), true, &twenty), CKR_OK);
    EXPECT_EQ(a.create_data(std::string(70, 'L'), pattern(10, 3), true, &h), SAR_NAMELENERR);
    const auto hex = [](const std::string& s) { return test_support::to_hex(text(s)); };
    EXPECT_EQ(
        other_process_labels("lbl-test,a-twenty-byte-label!"),
        (std::vector<std::string>{"lbl-test 1 " + hex("lbl-test") + " " + hex("app-x"),
                                  "a-twenty-byte-label! 1 " + hex("a-twenty-byte-label!") + " "}));

    const std::string longer = "another-20-byte-labl";
    CK_ATTRIBUTE relabel{CKA_LABEL, const_cast<char*>(longer.data()), longer.size()};
    const std::string first = "lbl-test";
    const auto found = a.find_class(CKO_DATA, &first);
    ASSERT_EQ(found.size(), 1u);
    ASSERT_EQ(a.f->C_SetAttributeValue(a.s, found[0], &relabel, 1), CKR_OK);
    EXPECT_EQ(other_process_labels("lbl-test," + longer),
              (std::vector<std::string>{"lbl-test 0",
                                        longer + " 1 " + hex(longer) + " " + hex("app-x")}));
    // And this process, reading the token anew, finds both by their labels.
    ASSERT_EQ(a.m->M_ReloadObjects(a.s), CKR_OK);
    EXPECT_EQ(a.find_class(CKO_DATA, &longer).size(), 1u);
    const std::string l20 = "a-twenty-byte-label!";
    EXPECT_EQ(a.find_class(CKO_DATA, &l20), std::vector<CK_OBJECT_HANDLE>{twenty});
    a.stop();
}
