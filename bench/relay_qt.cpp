// The Qt SerialPort contender of the relay benchmark (bench/engine_relay.py):
// the same transfer as relay_peer's, on Qt's event loop.
//   relay_qt <tx tty> <rx tty> <bytes>
#include <sys/resource.h>

#include <QCoreApplication>
#include <QSerialPort>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

double cpuNow(long* csw) {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  *csw = u.ru_nvcsw + u.ru_nivcsw;
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 4) {
    std::fprintf(stderr, "usage: relay_qt TX RX BYTES\n");
    return 2;
  }
  const qint64 total = std::strtoll(argv[3], nullptr, 10);
  QSerialPort tx(QString::fromLocal8Bit(argv[1])), rx(QString::fromLocal8Bit(argv[2]));
  for (QSerialPort* p : {&tx, &rx}) {
    p->setBaudRate(115200);
    if (!p->open(QIODevice::ReadWrite)) {
      std::fprintf(stderr, "relay_qt: %s\n", qPrintable(p->errorString()));
      return 1;
    }
  }
  const QByteArray piece(256, 'v');
  qint64 sent = 0, received = 0;
  // Keeps 64 KiB queued in the sending port, in 256-byte writes.
  auto fill = [&] {
    while (sent < total && tx.bytesToWrite() < 65536) {
      const qint64 n = tx.write(piece.constData(), std::min<qint64>(256, total - sent));
      if (n <= 0)
        break;
      sent += n;
    }
  };
  QObject::connect(&tx, &QSerialPort::bytesWritten, fill);
  QObject::connect(&rx, &QSerialPort::readyRead, [&] {
    received += rx.readAll().size();
    if (received >= total)
      app.quit();
  });
  QTimer::singleShot(60000, &app, [&] { app.exit(1); });
  long csw0 = 0, csw1 = 0;
  const double cpu0 = cpuNow(&csw0);
  const auto t0 = std::chrono::steady_clock::now();
  fill();
  const int rc = total > 0 ? app.exec() : 0;
  const double cpu1 = cpuNow(&csw1);
  std::printf("{\"bytes\": %lld, \"seconds\": %.6f, \"cpu\": %.6f, \"csw\": %ld}\n",
              static_cast<long long>(total),
              std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(),
              cpu1 - cpu0, csw1 - csw0);
  return rc;
}
