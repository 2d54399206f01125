// The bridge end to end in headless Firefox.
import { defineIntakeSuite } from "./intake.mjs";
import { defineSuite } from "./suite.mjs";

defineSuite("firefox");
defineIntakeSuite("firefox");
