// The stand-in Excel served over COM with TextBraid.dll's two add-in objects created by ProgID,
// as Excel creates them, and the worksheet function called through IDispatch::Invoke as Excel
// calls it. Shared by the Wine tests that drive formulas through the real DLL.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/com/bridge.h"
#include "server/com/textbraid_h.h"
#include "standin/excel.h"

namespace tb::wine {

// Registers the DLL and serves the stand-in over COM for the whole test program.
class ComEnvironment : public ::testing::Environment {
  public:
    void SetUp() override;
    void TearDown() override;
};

class ComHost {
  public:
    explicit ComHost(standin::Profile profile = standin::Profile::Modern);
    ~ComHost();
    ComHost(const ComHost&) = delete;
    ComHost& operator=(const ComHost&) = delete;

    HRESULT connect_addin();
    HRESULT disconnect_addin();

    // Calls the method with arguments already right to left, as rgvarg holds them.
    HRESULT invoke(std::vector<com::unique_variant>& reversed, Value& result);

    // Evaluates a formula with TEXTBRAID answered by the DLL; a range it returns is shown by its
    // value, as Excel shows it. Every Invoke must succeed; the last one's status is kept.
    Value evaluate(const std::u16string& formula);
    HRESULT last_invoke = S_OK;

    standin::Excel excel;
    com::com_ptr<IDispatch> application;
    com::com_ptr<IDTExtensibility2> connect;
    com::com_ptr<IDispatch> function;
    DISPID dispid = 0;
};

// What a cell shows for a result, and the same cut short for test messages.
std::u16string shown(const Value& v);
std::string narrow(const std::u16string& s);

}  // namespace tb::wine
