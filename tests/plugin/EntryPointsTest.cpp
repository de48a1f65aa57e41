#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "plugin/PluginEntryPoints.h"
#include "plugin/TcpIpExport.h"
#include "tests/support/FakeHost.h"

TEST(EntryPoints, IdentityTextsAreExact) {
  EXPECT_STREQ(getAuthor(), "Quandrel");
  EXPECT_STREQ(getHelpFile(), "TcpIpExportHelp/index.html");
  EXPECT_STREQ(getPluginDescription(),
               "This plugin provides the opportunity to export experiment data through a tcp connection.<br>");
  EXPECT_STREQ(getPluginVersion(), "2.00");
  EXPECT_STREQ(getPluginName(), "Network Plugin - Server 2.00");
}

TEST(EntryPoints, PluginNameComesFromTheSameBufferEveryTime) {
  const char* first = getPluginName();
  const char* second = getPluginName();
  EXPECT_EQ(first, second);
  EXPECT_STREQ(second, "Network Plugin - Server 2.00");
}

TEST(EntryPoints, MetacastFindsTheObjectAndItsInterfacePart) {
  NMBPluginInterface* plugin = createPlugin();
  auto* object = dynamic_cast<TcpIpExport*>(plugin);
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(object->qt_metacast(nullptr), nullptr);
  EXPECT_EQ(object->qt_metacast("TcpIpExport"), static_cast<void*>(object));
  // The interface part lies at an offset inside the object: the cast must hand
  // out exactly the pointer createPlugin returned.
  EXPECT_EQ(object->qt_metacast("NMBPluginInterface"), static_cast<void*>(plugin));
  EXPECT_NE(static_cast<void*>(plugin), static_cast<void*>(object));
  // Other names go to QThread's cast.
  EXPECT_EQ(object->qt_metacast("QThread"), static_cast<void*>(static_cast<QThread*>(object)));
  EXPECT_EQ(object->qt_metacast("SomethingElse"), nullptr);
  EXPECT_STREQ(object->metaObject()->className(), "TcpIpExport");
  EXPECT_STREQ(object->metaObject()->superClass()->className(), "QThread");
  EXPECT_EQ(object->metaObject()->methodCount(), QThread::staticMetaObject.methodCount());
  delete plugin;
}

TEST(EntryPoints, CreatingThePluginStartsNothingAndCallsNoHostFunction) {
  FakeHost::reset();
  NMBPluginInterface* plugin = createPlugin();
  auto* object = dynamic_cast<TcpIpExport*>(plugin);
  EXPECT_FALSE(object->isRunning());
  EXPECT_EQ(object->parent(), nullptr);
  EXPECT_EQ(FakeHost::totalCalls(), 0);
  delete plugin;
}

TEST(EntryPoints, DeletingAPluginThatNeverRanReturnsAtOnce) {
  NMBPluginInterface* plugin = createPlugin();
  QElapsedTimer timer;
  timer.start();
  delete plugin;
  EXPECT_LT(timer.elapsed(), 100);
}
