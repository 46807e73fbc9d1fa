#pragma once
// Piecewise-linear interpolation in a table read from the definitions folder.
#include "conversion/transferfunc.h"

#include <string>
#include <utility>
#include <vector>

class LookupTableTransferFunc : public TransferFunc
{
public:
    // Reads folder + "/lookupTables/" + name once. A file that cannot be read
    // or holds no entries makes a function that passes values through unchanged.
    LookupTableTransferFunc(const std::string& folder, const std::string& name);
    ~LookupTableTransferFunc() override = default;

    double apply(double x) const override;
    QString asString() const override;
    void change(const QString& text) override;
    QString equationAsString() const override;
    QString description() const override;

    const std::string& name() const { return name_; }
    const std::string& path() const { return path_; }
    bool isValid() const { return valid_; }
    // (x, y) entries in ascending x.
    const std::vector<std::pair<double, double>>& table() const { return table_; }

private:
    void load();

    std::string name_;
    std::string path_;
    bool valid_ = false;
    std::vector<std::pair<double, double>> table_;
};
