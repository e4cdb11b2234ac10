// Asking a real Prometheus server (on 127.0.0.1) through its HTTP API.
#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cctype>
#include <cstdio>
#include <string>

#include <filesystem>

#include "tests/support/child.h"
#include "tests/support/net.h"

// The result of an instant query: one object per sample, with "metric" and
// "value"; empty when the server does not answer.
inline QJsonArray PrometheusQuery(int port, const std::string& query) {
  std::string encoded;
  for (unsigned char c : query) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02X", c);
    encoded += std::isalnum(c) || c == '_' ? std::string(1, static_cast<char>(c)) : hex;
  }
  const auto doc = QJsonDocument::fromJson(
      QByteArray::fromStdString(HttpGet(port, "/api/v1/query?query=" + encoded)));
  return doc.object()["data"].toObject()["result"].toArray();
}

// A Prometheus server on 127.0.0.1:port with dir/prometheus.yml, its data
// and logs in dir; its pid.
inline pid_t StartPrometheus(const std::filesystem::path& dir, int port) {
  return SpawnChild("/usr/bin/prometheus",
                    {"--config.file=" + (dir / "prometheus.yml").string(),
                     "--storage.tsdb.path=" + (dir / "tsdb").string(),
                     "--web.listen-address=127.0.0.1:" + std::to_string(port)},
                    {}, (dir / "prometheus.out").string(), (dir / "prometheus.err").string());
}
