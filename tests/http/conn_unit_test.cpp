// The connection object without a server: results before Connect, the
// factory's settings, the task wrapper.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "http/http_net_conn.h"
#include "http/http_send_task.h"
#include "vemnet/httpconn.h"

using VemNetwork::HttpNetConn;
using VemNetwork::HttpSendTask;
using VemNetwork::IHttpConn;

TEST(HttpConnUnit, NothingWorksBeforeConnect) {
    HttpNetConn conn;
    EXPECT_FALSE(conn.IsConnected());
    EXPECT_EQ(3, conn.Send("abc", 3));
    EXPECT_EQ(3, conn.Send(nullptr, 0));
    EXPECT_EQ(3, conn.SetTimeout(1000));
    EXPECT_FALSE(conn.Context());
    conn.Close();   // harmless without a context
    EXPECT_FALSE(conn.IsConnected());
}

TEST(HttpConnUnit, FactoryAppliesEverySetting) {
    IHttpConn* out = reinterpret_cast<IHttpConn*>(1);
    std::map<std::wstring, std::wstring> params{{L"b", L"2"}, {L"a", L"1"}};
    CreateHttpConn(&out, nullptr, L"server.test/x", L"POST", 50, 350, L"X-A: 1\r\n", params, std::string("d\0e", 3),
                   nullptr);
    ASSERT_NE(nullptr, out);
    HttpNetConn* conn = dynamic_cast<HttpNetConn*>(out);
    ASSERT_NE(nullptr, conn);
    EXPECT_EQ(L"server.test/x", conn->Url());
    EXPECT_EQ(params, conn->Params());
    EXPECT_EQ(std::string("d\0e", 3), conn->Data());
    EXPECT_FALSE(conn->IsConnected());
    EXPECT_EQ(3, conn->Send("x", 1));   // the factory does not connect
    delete out;
}

TEST(HttpConnUnit, FactoryToleratesNullOut) {
    CreateHttpConn(nullptr, nullptr, L"", L"", 0, 0, L"", {}, std::string(), nullptr);
}

TEST(HttpConnUnit, AddParamReplacesAnEarlierValue) {
    HttpNetConn conn;
    conn.AddParam(L"k", L"one");
    conn.AddParam(L"k", L"two");
    ASSERT_EQ(1u, conn.Params().size());
    EXPECT_EQ(L"two", conn.Params().at(L"k"));
}

TEST(HttpSendTaskUnit, RunsItsCallAndToleratesAnEmptyOne) {
    int calls = 0;
    HttpSendTask task(L"senddata", [&] { ++calls; });
    task.Run();
    task.Run();
    EXPECT_EQ(2, calls);
    EXPECT_EQ(L"senddata", task.Label());
    HttpSendTask empty(L"postpack", boost::function<void()>());
    empty.Run();
}
