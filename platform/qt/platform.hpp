// Everything of the platform's Qt side.
#pragma once

#include "platform/qt/alert.hpp"
#include "platform/qt/application.hpp"
#include "platform/qt/applescript.hpp"
#include "platform/qt/bundle.hpp"
#include "platform/qt/controls.hpp"
#include "platform/qt/exception.hpp"
#include "platform/qt/filemanager.hpp"
#include "platform/qt/log.hpp"
#include "platform/qt/notification.hpp"
#include "platform/qt/runloop.hpp"
#include "platform/qt/strings.hpp"
#include "platform/qt/task.hpp"
#include "platform/qt/timer.hpp"
