// The replay driver: runs one ViewControllerSDK against the fake platform
// from a session script in JSON Lines and reports every effect, in order, as
// one transcript line with a fixed prefix (see docs/replay.md).
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "bridge/ViewControllerSDK.h"
#include "platform/fake/FakePlatform.h"
#include "platform/fake/ScriptedModelRuntime.h"
#include "platform/sim/SimARSession.h"

namespace tevra::replay {

class ReplayDriver {
public:
    // `out` receives the transcript, one line per effect.
    explicit ReplayDriver(std::function<void(const std::string&)> out);
    ~ReplayDriver();

    // Runs every line of the script. Returns false (after reporting the line
    // with an "ERROR" transcript line) when a line is malformed; later lines
    // still run.
    bool run(std::istream& script, const std::string& scriptDirectory);
    // Runs one step; false with an ERROR line when it is malformed.
    bool step(const nlohmann::json& command, const std::string& scriptDirectory);

    // Where files named by a script (an "http" answer's "file") are looked
    // for when they are not beside the script.
    void setDataDirectory(std::string directory) { dataDirectory_ = std::move(directory); }

    std::shared_ptr<fake::FakePlatform> fakes() const { return fake_; }
    std::shared_ptr<ViewControllerSDK> controller() const { return controller_; }

private:
    void ensureController();
    void create(const nlohmann::json& c, const std::string& dir);
    // One display tick of the camera view; a "DRAW" line when it drew.
    void tickCamera();
    // The "STATE" lines of a `state` step.
    void reportState();
    // A `model` step: scripts NAME's answers and makes NAME loadable.
    void scriptModel(const nlohmann::json& c);
    // Puts the scripted runtime in front of the platform's and gives every
    // scripted name a compiled-model directory in local storage.
    void installScriptedModels();
    // The run's documents directory, made on first use.
    const std::string& ensureDocuments();
    void emit(const std::string& prefix, const std::string& text);
    std::string findFile(const std::string& name, const std::string& scriptDirectory) const;
    void removeDocuments();

    std::function<void(const std::string&)> out_;
    std::shared_ptr<fake::FakePlatform> fake_;
    std::shared_ptr<View> hostView_;
    std::shared_ptr<fake::FakeWebView> hostWebView_;
    std::shared_ptr<ViewControllerSDK> controller_;
    std::shared_ptr<sim::SimARSessionFactory> simFactory_;
    std::string dataDirectory_;
    // The documents directory of a run on the real model runtime (a fresh
    // temporary directory, removed with the run).
    std::string documents_;
    // The directory as the transcript hides it (shared with the listener,
    // since a `model` step may make it after the platform was built).
    std::shared_ptr<std::string> shownDocuments_ = std::make_shared<std::string>();
    // Scripted model answers (`model` steps), for the whole run: the models
    // loaded from it stay in the process's registry across a `create`.
    std::shared_ptr<fake::ScriptedModelRuntime> scripted_ = std::make_shared<fake::ScriptedModelRuntime>();
    int line_ = 0;
};

}  // namespace tevra::replay
