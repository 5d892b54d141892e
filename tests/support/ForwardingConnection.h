#pragma once

#include "platform/Database.h"

#include <memory>

// A connection that passes every call to a real one. Tests derive from it to
// count or alter the few calls they care about.
class ForwardingConnection : public DbConnection {
public:
    explicit ForwardingConnection(std::unique_ptr<DbConnection> inner) : inner_(std::move(inner)) {}
    void execute(const QString& sql) override { inner_->execute(sql); }
    std::vector<TableInfo> tables() override { return inner_->tables(); }
    std::unique_ptr<DbCursor> query(const QString& sql, const QStringList& params) override
    {
        return inner_->query(sql, params);
    }
    std::unique_ptr<DbStatement> prepare(const QString& sql) override { return inner_->prepare(sql); }
    void begin() override { inner_->begin(); }
    void commit() override { inner_->commit(); }
    void rollback() override { inner_->rollback(); }
    void setInterruptCheck(std::function<bool()> shouldStop) override { inner_->setInterruptCheck(std::move(shouldStop)); }

protected:
    DbConnection& inner() { return *inner_; }

private:
    std::unique_ptr<DbConnection> inner_;
};
