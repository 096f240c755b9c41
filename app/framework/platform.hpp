// Everything of the platform's Qt side.
#pragma once

#include "app/framework/alert.hpp"
#include "app/framework/application.hpp"
#include "app/framework/applescript.hpp"
#include "app/framework/bundle.hpp"
#include "app/framework/controls.hpp"
#include "app/framework/exception.hpp"
#include "app/framework/filemanager.hpp"
#include "app/framework/log.hpp"
#include "app/framework/notification.hpp"
#include "app/framework/runloop.hpp"
#include "app/framework/strings.hpp"
#include "app/framework/task.hpp"
#include "app/framework/timer.hpp"
