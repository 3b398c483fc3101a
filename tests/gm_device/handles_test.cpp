// The handle tree: one counter for every kind from 0x3000, lookups of their
// own kind only, subtree destruction, and SKF_CloseHandle without a card.
// (Each test runs in a process of its own, so the counter starts afresh.)
#include <gtest/gtest.h>

#include <memory>

#include "gm_api.h"
#include "gm_handles.h"

namespace {

const uint8_t app_reply[gm_open_app_reply_size] = {1, 2, 3, 4, 5, 6, 7, 8, 0x12, 0x34};

// A device object in the registry without any card behind it.
gm_sc_dev* registered_device(const char* name = "reader") {
    return gm_register_dev(std::make_unique<gm_sc_dev>(name));
}

class handle_tree : public ::testing::Test {
  protected:
    void TearDown() override { gm_handle_registry().clear(); }
};

TEST_F(handle_tree, one_counter_for_every_kind_from_0x3000_and_failed_devices_spend_their_value) {
    ASSERT_EQ(gm_peek_handle_value(), 0x3000u);
    gm_sc_dev* dev = registered_device();
    EXPECT_EQ(dev->handle(), 0x3000u);
    {
        gm_sc_dev never_opened("gone");
        EXPECT_EQ(never_opened.handle(), 0x3001u);
    }
    gm_sc_app* app = dev->add_app(app_reply, "APP");
    gm_sc_cont* cont = app->add_container(7, "c");
    gm_sc_key* key = cont->add_key(8, 0x401);
    gm_sc_mac* mac = cont->add_mac(9, 0x401);
    gm_sc_digest* digest = dev->add_digest(1);
    EXPECT_EQ(app->handle(), 0x3002u);
    EXPECT_EQ(cont->handle(), 0x3003u);
    EXPECT_EQ(key->handle(), 0x3004u);
    EXPECT_EQ(mac->handle(), 0x3005u);
    EXPECT_EQ(digest->handle(), 0x3006u);
    EXPECT_EQ(app->kind(), gm_kind::application);
    EXPECT_EQ(cont->kind(), gm_kind::container);
    // Closed values are never handed out again.
    ASSERT_EQ(cont->remove_key(key->handle()), SAR_OK);
    EXPECT_EQ(cont->add_key(8, 0x401)->handle(), 0x3007u);
}

TEST_F(handle_tree, application_record_and_container_name_bounds) {
    gm_sc_dev* dev = registered_device();
    gm_sc_app* app = dev->add_app(app_reply, "APP");
    EXPECT_EQ(app->app_id, 0x1234u);
    EXPECT_EQ(app->open_reply[8], 0x34);
    EXPECT_EQ(app->open_reply[9], 0x12);
    EXPECT_EQ(app->user_logged_in, 0u);
    const std::string long_name(300, 'n');
    gm_sc_cont* cont = app->add_container(1, long_name.c_str());
    EXPECT_EQ(cont->name.size(), 128u);
    EXPECT_EQ(cont->app_id, 0x1234u);
    EXPECT_EQ(gm_sc_dev(std::string(400, 'r').c_str()).name.size(), gm_device_name_max);
}

TEST_F(handle_tree, each_lookup_finds_only_its_own_kind_with_its_ancestors) {
    gm_sc_dev* dev = registered_device();
    gm_sc_app* app = dev->add_app(app_reply, "APP");
    gm_sc_cont* cont = app->add_container(7, "c");
    gm_sc_key* key = cont->add_key(8, 0x401);
    gm_sc_mac* mac = cont->add_mac(9, 0x401);
    gm_sc_digest* digest = dev->add_digest(1);
    const uint32_t all[] = {dev->handle(), app->handle(), cont->handle(),
                            key->handle(), mac->handle(), digest->handle()};
    for (uint32_t h : all) {
        EXPECT_EQ(gm_find_dev(h) != nullptr, h == dev->handle()) << std::hex << h;
        EXPECT_EQ(gm_find_app(h).app != nullptr, h == app->handle()) << std::hex << h;
        EXPECT_EQ(gm_find_cont(h).cont != nullptr, h == cont->handle()) << std::hex << h;
        EXPECT_EQ(gm_find_key(h).key != nullptr, h == key->handle()) << std::hex << h;
        EXPECT_EQ(gm_find_mac(h).mac != nullptr, h == mac->handle()) << std::hex << h;
        EXPECT_EQ(gm_find_digest(h).digest != nullptr, h == digest->handle()) << std::hex << h;
    }
    const gm_key_ref k = gm_find_key(key->handle());
    EXPECT_EQ(k.dev, dev);
    EXPECT_EQ(k.app, app);
    EXPECT_EQ(k.cont, cont);
    EXPECT_EQ(gm_find_mac(mac->handle()).cont, cont);
    EXPECT_EQ(gm_find_digest(digest->handle()).dev, dev);
    EXPECT_EQ(gm_find_dev(0), nullptr);
    EXPECT_EQ(gm_find_key(0).key, nullptr);
}

TEST_F(handle_tree, names_match_exactly_and_two_opens_are_two_objects) {
    gm_sc_dev* dev = registered_device();
    gm_sc_app* a1 = dev->add_app(app_reply, "APP");
    gm_sc_app* a2 = dev->add_app(app_reply, "APP");
    EXPECT_NE(a1->handle(), a2->handle());
    EXPECT_EQ(dev->find_app_by_name("APP"), a1);
    EXPECT_EQ(dev->find_app_by_name("app"), nullptr);
    a1->add_container(1, "k");
    a1->add_container(2, "K");
    a1->add_container(3, "k");
    EXPECT_EQ(a1->find_container_by_name("K")->container_id, 2u);
    EXPECT_EQ(a1->remove_containers_named("k"), 2);
    ASSERT_EQ(a1->containers.size(), 1u);
    EXPECT_EQ(a1->containers[0]->name, "K");
}

TEST_F(handle_tree, removing_an_object_makes_its_whole_subtree_unknown) {
    gm_sc_dev* dev = registered_device();
    gm_sc_app* app = dev->add_app(app_reply, "APP");
    gm_sc_cont* cont = app->add_container(7, "c");
    const uint32_t key = cont->add_key(8, 0x401)->handle();
    const uint32_t mac = cont->add_mac(9, 0x401)->handle();
    const uint32_t c = cont->handle();
    const uint32_t a = app->handle();
    const uint32_t digest = dev->add_digest(1)->handle();

    ASSERT_EQ(dev->remove_app(app), SAR_OK);
    EXPECT_EQ(gm_find_app(a).app, nullptr);
    EXPECT_EQ(gm_find_cont(c).cont, nullptr);
    EXPECT_EQ(gm_find_key(key).key, nullptr);
    EXPECT_EQ(gm_find_mac(mac).mac, nullptr);
    EXPECT_NE(gm_find_digest(digest).digest, nullptr);

    const uint32_t d = dev->handle();
    ASSERT_EQ(gm_unregister_dev(d), SAR_OK);
    EXPECT_EQ(gm_find_digest(digest).digest, nullptr);
    EXPECT_EQ(gm_find_dev(d), nullptr);
    EXPECT_EQ(gm_unregister_dev(d), SAR_FAIL);
}

TEST_F(handle_tree, removal_by_value_only_within_its_own_list) {
    gm_sc_dev* dev = registered_device();
    gm_sc_cont* c1 = dev->add_app(app_reply, "A")->add_container(1, "c1");
    gm_sc_cont* c2 = dev->apps[0]->add_container(2, "c2");
    const uint32_t key = c1->add_key(8, 1)->handle();
    EXPECT_EQ(c2->remove_key(key), SAR_FAIL);
    EXPECT_EQ(c1->remove_mac(key), SAR_FAIL);
    EXPECT_EQ(dev->remove_digest(key), SAR_FAIL);
    EXPECT_EQ(c1->remove_key(key), SAR_OK);
    EXPECT_EQ(c1->remove_key(key), SAR_FAIL);
}

TEST_F(handle_tree, close_handle_frees_digests_and_keys_and_refuses_other_kinds) {
    gm_sc_dev* dev = registered_device();
    gm_sc_app* app = dev->add_app(app_reply, "APP");
    gm_sc_cont* cont = app->add_container(7, "c");
    const uint32_t key = cont->add_key(8, 0x401)->handle();
    const uint32_t mac = cont->add_mac(9, 0x401)->handle();
    const uint32_t digest = dev->add_digest(1)->handle();

    EXPECT_EQ(SKF_CloseHandle(0), SAR_INVALIDHANDLEERR);
    for (uint32_t other : {dev->handle(), app->handle(), cont->handle(), 0x2FFFu, 0xFFFFFFFFu})
        EXPECT_EQ(SKF_CloseHandle(other), SAR_INVALIDHANDLEERR) << std::hex << other;
    EXPECT_EQ(SKF_CloseHandle(digest), SAR_OK);
    EXPECT_EQ(dev->digests.size(), 0u);
    // The card command for the key fails here (no device): the object goes anyway.
    EXPECT_EQ(SKF_CloseHandle(key), SAR_OK);
    EXPECT_EQ(SKF_CloseHandle(mac), SAR_OK);
    EXPECT_TRUE(cont->keys.empty());
    EXPECT_TRUE(cont->macs.empty());
    EXPECT_EQ(SKF_CloseHandle(key), SAR_INVALIDHANDLEERR);
}

TEST_F(handle_tree, device_functions_refuse_handles_of_other_kinds) {
    gm_sc_dev* dev = registered_device();
    const uint32_t app = dev->add_app(app_reply, "APP")->handle();
    DEVINFO info;
    uint32_t length = 0;
    EXPECT_EQ(SKF_GetDevInfo(app, &info), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_SetLabel(app, "x"), SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_get_raw_hwsn(app, nullptr, &length), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_DisConnectDev(app), SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_set_app_option(dev->handle(), GM_APP_OPTION_USER_LOGGED_IN), SAR_FAIL);
    EXPECT_EQ(gm_set_app_option(app, GM_APP_OPTION_USER_LOGGED_IN), SAR_OK);
    EXPECT_EQ(gm_find_app(app).app->user_logged_in, 1u);
    EXPECT_EQ(gm_set_app_option(app, GM_APP_OPTION_USER_LOGGED_OUT), SAR_OK);
    EXPECT_EQ(gm_find_app(app).app->user_logged_in, 0u);
    EXPECT_EQ(SKF_DisConnectDev(dev->handle()), SAR_OK);
    EXPECT_EQ(gm_set_app_option(app, GM_APP_OPTION_USER_LOGGED_IN), SAR_FAIL);
}

} // namespace
