#pragma once

class CPluginJobs;

// The plug-in's batch jobs as the host library offers them to the host: the export
// and rainfall workers of the running context, started through the same job
// parameters and busy flags as the export dialog uses. Stateless: each call goes to
// the context VKTLibInit made.
CPluginJobs& PluginJobEntry();
