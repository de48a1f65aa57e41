#include "bench/PluginHarness.h"

#include <QList>
#include <QThread>
#include <QVariant>
#include <stdexcept>

#include "bench/BenchHost.h"
#include "bench/Loopback.h"
#include "plugin/TcpIpExport.h"

PluginHarness::PluginHarness() : plugin_(std::make_unique<TcpIpExport>()) {
  port_ = freeTcpPort();
  BenchHost::state().integerInput = port_;
  if (!plugin_->initPlugin()) throw std::runtime_error("initPlugin failed: host functions not found");
  plugin_->executePreRun(0);
  // The worker listens shortly after the pre-run returns.
  for (int attempt = 0; attempt < 2000; ++attempt) {
    try {
      RawClient probe(port_);
      return;
    } catch (const std::runtime_error&) {
      QThread::msleep(1);
    }
  }
  throw std::runtime_error("the plug-in does not accept connections");
}

PluginHarness::~PluginHarness() {
  if (inRun_) plugin_->executePostRun();
}

void PluginHarness::startRun() {
  endRun();
  BenchHost::state().currentTimePoint = 0;
  inRun_ = true;
}

void PluginHarness::endRun() {
  if (inRun_) plugin_->executePostRun();
  inRun_ = false;
}

void PluginHarness::preStep() {
  BenchHost::state().currentTimePoint.fetch_add(1);
  plugin_->executePreStep();
}

void PluginHarness::postStep() { plugin_->executePostStep(); }

int PluginHarness::stepsLeft() const {
  return BenchHost::state().expectedTimePoints - BenchHost::state().currentTimePoint.load();
}

std::string PluginHarness::reply(const std::string& name, const std::vector<int>& args) {
  QList<QVariant> request;
  request << QString::fromStdString(name);
  for (int a : args) request << a;
  const QByteArray block = plugin_->executeRequest(request);
  return std::string(block.constData(), size_t(block.size()));
}
