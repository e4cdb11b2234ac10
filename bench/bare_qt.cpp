// A bare Qt Core program that wakes every 5 s, as the agent's reports do: the
// floor the agent's idle cost is measured against (bench/agent_idle.py).
#include <QCoreApplication>
#include <QTimer>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [] {});
  timer.start(5000);
  return app.exec();
}
