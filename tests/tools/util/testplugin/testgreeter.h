#pragma once
// The interfaces that the plugin manager's test plugins implement.
#include <QObject>
#include <QString>

class TestGreeterInterface
{
public:
    virtual ~TestGreeterInterface() = default;
    virtual QString greet() const = 0;
};

class TestCounterInterface
{
public:
    virtual ~TestCounterInterface() = default;
    virtual int count() const = 0;
};

#define TestGreeterInterface_iid "org.praxa.test.TestGreeterInterface"
#define TestCounterInterface_iid "org.praxa.test.TestCounterInterface"
Q_DECLARE_INTERFACE(TestGreeterInterface, TestGreeterInterface_iid)
Q_DECLARE_INTERFACE(TestCounterInterface, TestCounterInterface_iid)
