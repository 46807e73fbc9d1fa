#pragma once
// A named QObject of the decoding subsystem. It carries no behaviour of its
// own: the decoder table lives in the interpretation hub; this object gives
// scripts and object trees a "GseLib::DecoderManager" to find by class name.
#include <QObject>

namespace GseLib {

class DecoderManager : public QObject
{
    Q_OBJECT

public:
    explicit DecoderManager(QObject* parent = nullptr);
    ~DecoderManager() override;
};

} // namespace GseLib
