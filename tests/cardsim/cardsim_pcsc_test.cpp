// The simulator behind the real pcscd (vpcd reader "Quessar vKessa Tavrel").
// Needs pcscd: RESOURCE_LOCK pcscd.
#include <gtest/gtest.h>

#include <vector>

#include <winscard.h>

#include "cardsim_harness.h"

namespace {

using bytes = std::vector<uint8_t>;

class pcsc_session {
  public:
    pcsc_session() {
        ok_ = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx_) == SCARD_S_SUCCESS;
    }
    ~pcsc_session() {
        if (handle_) SCardDisconnect(handle_, SCARD_LEAVE_CARD);
        if (ok_) SCardReleaseContext(ctx_);
    }
    pcsc_session(const pcsc_session&) = delete;
    pcsc_session& operator=(const pcsc_session&) = delete;

    LONG connect(const std::string& reader, DWORD protocols) {
        return SCardConnect(ctx_, reader.c_str(), SCARD_SHARE_SHARED, protocols, &handle_,
                            &active_);
    }
    DWORD active_protocol() const { return active_; }
    bytes transmit(const bytes& apdu) {
        bytes reply(2048);
        DWORD len = static_cast<DWORD>(reply.size());
        if (SCardTransmit(handle_, SCARD_PCI_T1, apdu.data(), static_cast<DWORD>(apdu.size()),
                          nullptr, reply.data(), &len) != SCARD_S_SUCCESS)
            return {};
        reply.resize(len);
        return reply;
    }
    LONG transmit_raw(const bytes& apdu, bytes& reply, DWORD& len) {
        return SCardTransmit(handle_, SCARD_PCI_T1, apdu.data(), static_cast<DWORD>(apdu.size()),
                             nullptr, reply.data(), &len);
    }
    LONG reset() {
        DWORD active = 0;
        return SCardReconnect(handle_, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_RESET_CARD,
                              &active);
    }
    bool ok() const { return ok_; }

  private:
    SCARDCONTEXT ctx_ = 0;
    SCARDHANDLE handle_ = 0;
    DWORD active_ = 0;
    bool ok_ = false;
};

const bytes get_short_dev_info = {0x80, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00};

TEST(CardsimPcsc, ShortDevInfoThroughPcscdThenRemoval) {
    cardsim::test::simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    EXPECT_EQ(token.reader(), "Quessar vKessa Tavrel 00 00");
    {
        pcsc_session s;
        ASSERT_TRUE(s.ok());
        // T=1 is the only protocol the card offers: asked for either, pcscd
        // picks T=1.
        ASSERT_EQ(s.connect(token.reader(), SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1),
                  SCARD_S_SUCCESS);
        EXPECT_EQ(s.active_protocol(), static_cast<DWORD>(SCARD_PROTOCOL_T1));
        token.sim().clear_log();
        const bytes r = s.transmit(get_short_dev_info);
        ASSERT_EQ(r.size(), 70u);
        EXPECT_EQ(r[68], 0x90);
        EXPECT_EQ(r[69], 0x00);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[32])), "Oskarvel");
        const auto log = token.sim().apdu_log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0], get_short_dev_info);

        // Faults reach the PC/SC client as they are.
        token.sim().inject_status_word(0x6A82);
        EXPECT_EQ(s.transmit(get_short_dev_info), (bytes{0x6A, 0x82}));
    }
    ASSERT_TRUE(token.remove());
    EXPECT_TRUE(cardsim::test::wait_for_reader(token.reader(), false, std::chrono::seconds(1)));
}

TEST(CardsimPcsc, AnEmptyReplyArrivesAsZeroBytesThenTheCardIsGone) {
    cardsim::test::simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    {
        pcsc_session s;
        ASSERT_EQ(s.connect(token.reader(), SCARD_PROTOCOL_T1), SCARD_S_SUCCESS);
        token.sim().inject_short_reply();
        EXPECT_EQ(s.transmit(get_short_dev_info).size(), 1u);
        token.sim().inject_empty_reply();
        bytes reply(2048);
        DWORD len = static_cast<DWORD>(reply.size());
        EXPECT_EQ(s.transmit_raw(get_short_dev_info, reply, len), SCARD_S_SUCCESS);
        EXPECT_EQ(len, 0u);
    }
    // vpcd cannot take another exchange after an empty reply: the card is out.
    EXPECT_TRUE(cardsim::test::wait_for_reader(token.reader(), false, std::chrono::seconds(10)));
    ASSERT_TRUE(token.remove());
    ASSERT_TRUE(token.insert()) << token.error();
    pcsc_session s;
    ASSERT_EQ(s.connect(token.reader(), SCARD_PROTOCOL_T1), SCARD_S_SUCCESS);
    EXPECT_EQ(s.transmit(get_short_dev_info).size(), 70u);
}

TEST(CardsimPcsc, APcscResetClearsTheChallenge) {
    cardsim::test::simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    pcsc_session s;
    ASSERT_EQ(s.connect(token.reader(), SCARD_PROTOCOL_T1), SCARD_S_SUCCESS);
    ASSERT_EQ(s.transmit({0x80, 0x50, 0x00, 0x00, 0x00, 0x00, 0x08}).size(), 10u);
    ASSERT_EQ(s.reset(), SCARD_S_SUCCESS);
    bytes dev_auth = {0x80, 0x10, 0x00, 0x00, 0x00, 0x00, 0x10};
    dev_auth.resize(dev_auth.size() + 16);
    EXPECT_EQ(s.transmit(dev_auth), (bytes{0x69, 0x85}));
}

TEST(CardsimPcsc, TwoTokensInTheTwoReaders) {
    cardsim::test::simulated_token first;
    cardsim::card_options blank;
    blank.blank = true;
    cardsim::test::simulated_token second(blank, cardsim::test::second_port());
    ASSERT_TRUE(first.inserted()) << first.error();
    ASSERT_TRUE(second.inserted()) << second.error();
    pcsc_session a, b;
    ASSERT_EQ(a.connect(first.reader(), SCARD_PROTOCOL_T1), SCARD_S_SUCCESS);
    ASSERT_EQ(b.connect(second.reader(), SCARD_PROTOCOL_T1), SCARD_S_SUCCESS);
    EXPECT_EQ(a.transmit(get_short_dev_info).at(32), 'O');
    EXPECT_EQ(b.transmit(get_short_dev_info).at(32), 0); // a blank card has no label
}

} // namespace
